#include "SerialCounter.h"

#include "PosixFile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ktr {

namespace {

constexpr qint64 kMaxSerial = 4294967295;
constexpr size_t kMaxTextBytes = 64; // a number with generous white space
constexpr int kShownTextChars = 24;

std::optional<uint32_t> Fail(QString* error, const QString& text) {
    if (error) *error = text;
    return std::nullopt;
}

// Digits only, white space around them allowed; nullopt past kMaxSerial.
std::optional<qint64> ParseNumber(const QByteArray& text) {
    const QByteArray digits = text.trimmed();
    if (digits.isEmpty() || digits.size() > 10) return std::nullopt;
    qint64 value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > kMaxSerial) return std::nullopt;
    return value;
}

// Reads at most `limit` bytes from the start of fd; false with errno set.
bool ReadHead(int fd, QByteArray& out, size_t limit) {
    out.resize(qsizetype(limit));
    ssize_t got;
    do
        got = ::pread(fd, out.data(), limit, 0);
    while (got < 0 && errno == EINTR);
    if (got < 0) return false;
    out.resize(got);
    return true;
}

} // namespace

QString SerialCounter::Failed(const QString& what, int error) const {
    return QStringLiteral("счётчик номеров %1: %2 (%3)").arg(path_, what, SystemErrorText(error));
}

std::optional<uint32_t> SerialCounter::Take(QString* error) {
    // The file is replaced by a rename, which must happen beside the file itself, not beside
    // a link to it.
    const QString target = QFileInfo(path_).canonicalFilePath();
    const QByteArray name = QFile::encodeName(target.isEmpty() ? path_ : target);
    for (;;) {
        UniqueFd fd(::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (!fd.Valid()) return Fail(error, Failed(QStringLiteral("не открывается"), errno));
        const FileLock lock(fd.Get());
        if (!lock.Locked()) return Fail(error, Failed(QStringLiteral("не блокируется"), errno));
        struct stat held {};
        struct stat now {};
        if (::fstat(fd.Get(), &held) != 0)
            return Fail(error, Failed(QStringLiteral("не читается"), errno));
        if (!S_ISREG(held.st_mode))
            return Fail(error, QStringLiteral("счётчик номеров %1: не обычный файл").arg(path_));
        // Another station may have replaced the file while this one waited for the lock: the
        // number in the old file is already taken.
        if (::stat(name.constData(), &now) != 0 || now.st_dev != held.st_dev ||
            now.st_ino != held.st_ino)
            continue;

        QByteArray text;
        if (!ReadHead(fd.Get(), text, kMaxTextBytes + 1))
            return Fail(error, Failed(QStringLiteral("не читается"), errno));
        const std::optional<qint64> next =
            text.size() <= qsizetype(kMaxTextBytes) ? ParseNumber(text) : std::nullopt;
        if (!next)
            return Fail(error,
                        QStringLiteral("счётчик номеров %1: «%2» — не число от 0 до %3")
                            .arg(path_, QString::fromUtf8(text.trimmed()).left(kShownTextChars))
                            .arg(kMaxSerial));
        if (*next == kMaxSerial)
            return Fail(error, QStringLiteral("счётчик номеров %1: номера исчерпаны (%2 — предел)")
                                   .arg(path_)
                                   .arg(kMaxSerial));

        QByteArray temporary = name + ".XXXXXX";
        UniqueFd out(::mkostemp(temporary.data(), O_CLOEXEC));
        if (!out.Valid()) return Fail(error, Failed(QStringLiteral("не записывается"), errno));
        const QByteArray written = QByteArray::number(*next + 1) + '\n';
        const bool done = ::fchmod(out.Get(), held.st_mode & 07777) == 0 &&
                          WriteAll(out.Get(), written.constData(), size_t(written.size())) &&
                          SyncFd(out.Get()) &&
                          ::rename(temporary.constData(), name.constData()) == 0;
        if (!done) {
            const int e = errno;
            ::unlink(temporary.constData());
            return Fail(error, Failed(QStringLiteral("не записывается"), e));
        }
        // The rename itself is durable only once the folder is synced.
        const UniqueFd folder(::open(QFile::encodeName(QFileInfo(QFile::decodeName(name)).path()),
                                     O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.Valid() || !SyncFd(folder.Get()))
            return Fail(error, Failed(QStringLiteral("не записывается"), errno));
        return uint32_t(*next);
    }
}

} // namespace ktr

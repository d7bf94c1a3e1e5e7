#include "Journal.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSysInfo>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ktr {

namespace {

constexpr size_t kCountChunkBytes = 64 * 1024;

QString Utc(const QDateTime& time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

bool Fail(QString* error, const QString& text) {
    if (error) *error = text;
    return false;
}

} // namespace

QJsonObject JournalImage::ToJson() const {
    return {{QStringLiteral("memory"), Memory},
            {QStringLiteral("path"), Path},
            {QStringLiteral("sha256"), Sha256},
            {QStringLiteral("bytes"), Bytes},
            {QStringLiteral("format"), Format}};
}

std::optional<JournalImage> JournalImageFromFile(Memory memory, const QString& path,
                                                 JobRules::Format format, QString* error) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
        Fail(error, QStringLiteral("образ «%1» не читается: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    return JournalImage{MemoryName(memory).toLower(), QFileInfo(path).absoluteFilePath(),
                        QString::fromLatin1(hash.result().toHex()), file.pos(),
                        ReadsAsHex(memory, path, format) ? QStringLiteral("hex")
                                                         : QStringLiteral("raw")};
}

QString ProgramVersion() {
    return QStringLiteral(KTR_VERSION);
}

QString JournalRecord::DefaultStation() {
    return QSysInfo::machineHostName();
}

QJsonObject JournalRecord::ToJson() const {
    QJsonArray images;
    for (const JournalImage& image : Images)
        images.append(image.ToJson());
    QJsonObject json{{QStringLiteral("start"), Utc(Start)},
                     {QStringLiteral("end"), Utc(End)},
                     {QStringLiteral("station"), Station},
                     {QStringLiteral("version"), Version},
                     {QStringLiteral("port"), Port},
                     {QStringLiteral("bus_dev"), BusDev},
                     {QStringLiteral("name"), Name},
                     {QStringLiteral("kind"), Kind},
                     {QStringLiteral("kind_name"), KindName},
                     {QStringLiteral("flash_size"), FlashSize},
                     {QStringLiteral("eeprom_size"), EepromSize},
                     {QStringLiteral("aux_size"), AuxSize},
                     {QStringLiteral("images"), images},
                     {QStringLiteral("command"), Command},
                     {QStringLiteral("status"), Status},
                     {QStringLiteral("message"), Message},
                     {QStringLiteral("phase"), Phase},
                     {QStringLiteral("partial"), Partial},
                     {QStringLiteral("seconds"), Seconds},
                     {QStringLiteral("number"), Number}};
    if (Serial) json.insert(QStringLiteral("serial"), qint64(*Serial));
    return json;
}

QString Journal::Failed(const QString& what, int error) const {
    return QStringLiteral("журнал %1: %2 (%3)").arg(path_, what, SystemErrorText(error));
}

bool Journal::Open(const QString& path, QString* error) {
    fd_.Reset();
    path_ = path;
    knownSize_ = 0;
    lines_ = 0;
    endsWithNewline_ = true;
    const QString notAFile = QStringLiteral("журнал %1: не обычный файл").arg(path);
    // Without blocking, so that a FIFO or a terminal is refused rather than waited on.
    UniqueFd fd(::open(QFile::encodeName(path).constData(),
                       O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
    if (!fd.Valid()) {
        const int e = errno;
        if (e == EISDIR) return Fail(error, notAFile);
        // Lines are counted to number the records, so reading is needed as well.
        if (e == EACCES &&
            ::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), W_OK, AT_EACCESS) == 0)
            return Fail(error, Failed(QStringLiteral("нет доступа на чтение"), e));
        if (e == EACCES || e == EPERM || e == EROFS || e == ETXTBSY)
            return Fail(error, Failed(QStringLiteral("нет доступа на запись"), e));
        return Fail(error, Failed(QStringLiteral("не открывается"), e));
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0)
        return Fail(error, Failed(QStringLiteral("не открывается"), errno));
    if (!S_ISREG(info.st_mode)) return Fail(error, notAFile);
    ::fcntl(fd.Get(), F_SETFL, O_APPEND);

    const FileLock lock(fd.Get());
    if (!lock.Locked()) return Fail(error, Failed(QStringLiteral("не блокируется"), errno));
    if (!CatchUp(fd.Get(), error)) return false;
    fd_ = std::move(fd);
    return true;
}

bool Journal::CatchUp(int fd, QString* error) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !CountLines(fd, info.st_size))
        return Fail(error, Failed(QStringLiteral("не читается"), errno));
    return endsWithNewline_ || AppendBytes(fd, QByteArrayLiteral("\n"), error);
}

bool Journal::AppendBytes(int fd, const QByteArray& bytes, QString* error) {
    const bool written = WriteAll(fd, bytes.constData(), size_t(bytes.size()));
    if (!written || !SyncFd(fd)) {
        const int e = errno;
        // What did not reach the disk whole is taken back; should that fail too, the next
        // catch-up closes the torn bytes off as a line of their own.
        if (::ftruncate(fd, knownSize_) == 0) SyncFd(fd);
        return Fail(error, Failed(written ? QStringLiteral("запись не сохранилась на диске")
                                          : QStringLiteral("запись не удалась"),
                                  e));
    }
    knownSize_ += bytes.size();
    lines_ += bytes.count('\n');
    endsWithNewline_ = true;
    return true;
}

bool Journal::CountLines(int fd, off_t size) {
    if (size < knownSize_) { // cut short by someone else: count anew
        knownSize_ = 0;
        lines_ = 0;
        endsWithNewline_ = true;
    }
    std::vector<char> buffer(std::min<off_t>(kCountChunkBytes, size - knownSize_));
    while (knownSize_ < size) {
        const ssize_t got = ::pread(fd, buffer.data(),
                                    std::min<off_t>(buffer.size(), size - knownSize_), knownSize_);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        lines_ += std::count(buffer.data(), buffer.data() + got, '\n');
        endsWithNewline_ = buffer[got - 1] == '\n';
        knownSize_ += got;
    }
    return true;
}

qint64 Journal::Append(JournalRecord record, QString* error) {
    if (!IsOpen()) return Fail(error, QStringLiteral("журнал не открыт"));
    const FileLock lock(fd_.Get());
    if (!lock.Locked()) return Fail(error, Failed(QStringLiteral("не блокируется"), errno));
    // Catching up also closes off a line torn by a station that died in the middle of a write.
    if (!CatchUp(fd_.Get(), error)) return false;
    record.Number = lines_ + 1;
    return AppendBytes(fd_.Get(),
                       QJsonDocument(record.ToJson()).toJson(QJsonDocument::Compact) + '\n', error)
               ? record.Number
               : 0;
}

} // namespace ktr

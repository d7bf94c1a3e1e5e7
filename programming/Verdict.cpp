#include "Verdict.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QStringList>
#include <QTemporaryFile>

#include <algorithm>

namespace ktr {

namespace {

constexpr qint64 kSniffBytes = 4096;

// Why a job refused its file, for the result line.
QString RefusalText(const JobRefused& job) {
    switch (job.Reason) {
    case JobRefusal::NoFile:
        return QStringLiteral("не найден");
    case JobRefusal::NotRegularFile:
        return QStringLiteral("не является обычным файлом");
    case JobRefusal::CannotOpen:
        return QStringLiteral("не открывается: ") + job.SystemText;
    case JobRefusal::Empty:
        return QStringLiteral("образ пуст: в файле нет данных");
    case JobRefusal::FormatError:
        return QStringLiteral("Ошибка формата файла в строке %1!").arg(job.Line);
    case JobRefusal::NoEndRecord:
        return QStringLiteral("нет записи конца файла HEX");
    case JobRefusal::TooLarge:
        return QStringLiteral("Файл слишком большой! (%1 байт при пределе %2 байт)")
            .arg(job.Size)
            .arg(job.Limit);
    case JobRefusal::OutOfMemory:
    case JobRefusal::CannotWrite:
        break;
    }
    return QStringLiteral("Файл слишком большой! (не хватает памяти)");
}

// The window's rule: ".hex" FLASH and ".eep" EEPROM files are Intel HEX.
bool HexByExtension(Memory memory, const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == (memory == Memory::Flash ? QLatin1String("hex") : QLatin1String("eep"));
}

// Text whose first line is an Intel HEX record: ':' and an even count of hex digits.
bool LooksLikeHex(const QByteArray& head) {
    const QByteArray line = head.left(head.indexOf('\n')).trimmed();
    if (line.size() < 11 || line[0] != ':' || (line.size() - 1) % 2 != 0) return false;
    return std::all_of(line.begin() + 1, line.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// Bytes no text file holds: NUL, or many control characters.
bool LooksBinary(const QByteArray& head) {
    qsizetype control = 0;
    for (char c : head) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0) return true;
        if (byte < 0x20 && byte != '\n' && byte != '\r' && byte != '\t') ++control;
    }
    return control * 20 > head.size();
}

} // namespace

std::optional<QString> ImageFileProblem(Memory memory, const QString& path,
                                        JobRules::Format format) {
    const QFileInfo info(path);
    if (!info.exists()) return QStringLiteral("не найден");
    if (!info.isFile())
        return info.isDir() ? QStringLiteral("является каталогом")
                            : QStringLiteral("не является обычным файлом");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("не открывается: ") + file.errorString();
    if (format != JobRules::Format::ByExtension) return {};
    // The window's rule by name alone would write Intel HEX text as raw bytes, or read a
    // binary image as HEX: neither is what anybody meant.
    const QByteArray head = file.read(kSniffBytes);
    if (HexByExtension(memory, path) && LooksBinary(head))
        return QStringLiteral("читается по расширению как Intel HEX, но это двоичные "
                              "данные; укажите --format raw или --format hex");
    if (!HexByExtension(memory, path) && LooksLikeHex(head))
        return QStringLiteral("читается по расширению как двоичный образ, но содержит "
                              "записи Intel HEX; укажите --format hex или --format raw");
    return {};
}

bool ReadsAsHex(Memory memory, const QString& path, JobRules::Format format) {
    return format == JobRules::Format::ByExtension ? HexByExtension(memory, path)
                                                   : format == JobRules::Format::Hex;
}

std::optional<QString> OutputFileProblem(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir()) return QStringLiteral("является каталогом");
    if (info.exists() && !info.isFile()) return QStringLiteral("не является обычным файлом");
    const QFileInfo folder(info.absolutePath());
    if (!folder.isDir())
        return QStringLiteral("не может быть записан: нет каталога «%1»").arg(folder.filePath());
    // The file is written beside its name and renamed: the folder must take a new file.
    QTemporaryFile probe(folder.filePath() + QStringLiteral("/.ktr-cli-XXXXXX"));
    if (!probe.open()) return QStringLiteral("не может быть записан: ") + probe.errorString();
    return {};
}

Verdict FileRefused(Memory memory, const QString& path, const QString& why) {
    return {kExitFile, QStringLiteral("файл %1 «%2» %3").arg(MemoryName(memory), path, why), {}};
}

Verdict JobVerdict(const JobOutcome& outcome, bool write, bool reading, const QString& doneText) {
    const JobRefused& refused = outcome.Refusal;
    const JobMismatch& difference = outcome.Difference;
    const QString memory = MemoryName(refused.Target);
    switch (outcome.End) {
    case JobEnd::Done:
        return {kExitDone,
                reading ? QStringLiteral("прочитано: ") + doneText
                : write ? QStringLiteral("записано и проверено")
                        : QStringLiteral("проверено: память устройства совпадает с файлом"),
                {}};
    case JobEnd::Refused:
        if (refused.Reason == JobRefusal::TooLarge && reading)
            return {kExitLink,
                    QStringLiteral("чтение %1 отклонено: устройство сообщило размер %2 байт, "
                                   "больше предела %3 байт")
                        .arg(memory)
                        .arg(refused.Size)
                        .arg(refused.Limit),
                    {}};
        if (refused.Reason == JobRefusal::CannotWrite)
            return {kExitFile,
                    QStringLiteral("файл %1 «%2» не записан: %3")
                        .arg(memory, refused.Path, refused.SystemText),
                    {}};
        return {kExitFile,
                QStringLiteral("файл %1 «%2» не принят: %3")
                    .arg(memory, refused.Path, RefusalText(refused)),
                {}};
    case JobEnd::Mismatch: {
        QString text = QStringLiteral("ошибка верификации %1 по адресу %2h")
                           .arg(MemoryName(difference.Target),
                                QString::number(difference.Address, 16).toUpper());
        if (!difference.Narrowed)
            text += difference.Repeated
                        ? QStringLiteral(" (адрес блока; отличающийся байт в нём не определён)")
                        : QStringLiteral(" (адрес блока; при повторной проверке отличие не "
                                         "повторилось)");
        return WithLeft({kExitMismatch, text, {}}, outcome.Left);
    }
    case JobEnd::LinkLost:
    case JobEnd::Cancelled:
        break;
    }
    return WithLeft({kExitLink, QStringLiteral("очередь команд очищена"), {}}, outcome.Left);
}

Verdict WithLeft(Verdict verdict, const std::vector<MemoryLeft>& left) {
    QStringList parts;
    for (const MemoryLeft& memory : left) {
        if (verdict.Status == kExitDone || memory.WriteBlocks == 0) continue;
        parts << QStringLiteral("%1 записано %2 из %3 блоков, проверено %4 из %5")
                     .arg(MemoryName(memory.Target))
                     .arg(memory.BlocksWritten)
                     .arg(memory.WriteBlocks)
                     .arg(memory.BlocksVerified)
                     .arg(memory.VerifyBlocks);
        verdict.Partial.append(QJsonObject{{"memory", MemoryName(memory.Target)},
                                           {"blocks_written", qint64(memory.BlocksWritten)},
                                           {"write_blocks", qint64(memory.WriteBlocks)},
                                           {"blocks_verified", qint64(memory.BlocksVerified)},
                                           {"verify_blocks", qint64(memory.VerifyBlocks)}});
    }
    if (!parts.isEmpty())
        verdict.Message += QStringLiteral("; устройство может быть записано частично: ") +
                           parts.join(QStringLiteral("; "));
    return verdict;
}

QString LossText(SessionLoss why, const QString& device, int waitedS) {
    switch (why) {
    case SessionLoss::AccessDenied:
        return QStringLiteral("устройство %1 подключено, но нет прав на его открытие: "
                              "установите пакет ktr-service или правило udev "
                              "70-ktr-service.rules (скопируйте его в /etc/udev/rules.d/ и "
                              "выполните «udevadm control --reload && udevadm trigger»), "
                              "затем переподключите устройство")
            .arg(device);
    case SessionLoss::NotFound:
        return QStringLiteral("устройство %1 не найдено или не открывается").arg(device);
    case SessionLoss::Watchdog:
        return QStringLiteral("устройство %1 не отвечает").arg(device);
    case SessionLoss::FaultLimit:
    case SessionLoss::DeviceGone:
        break;
    case SessionLoss::NotIdentified:
        return QStringLiteral("устройство %1 не опознано за %2 с").arg(device).arg(waitedS);
    case SessionLoss::LinkTimeout:
        return QStringLiteral("связь с устройством %1 не восстановлена за %2 с")
            .arg(device)
            .arg(waitedS);
    }
    return QStringLiteral("связь с устройством %1 потеряна и не восстановлена").arg(device);
}

QString NotServedText(const QString& device, uint32_t kind) {
    return QStringLiteral("устройство %1 ответило как тип %2, который эта программа не "
                          "обслуживает")
        .arg(device)
        .arg(kind);
}

Verdict TimedOut(int seconds) {
    return {kExitLink, QStringLiteral("истекло время ожидания (%1 с)").arg(seconds), {}};
}

Verdict Interrupted(int status) {
    return {status, QStringLiteral("прервано"), {}};
}

} // namespace ktr

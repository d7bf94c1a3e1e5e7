// The commands that run the core's jobs: files checked before the device is asked, then the
// write, verify or read job with the command line's rules, its events printed.
#include "CliSession.h"

#include "ImageJob.h"
#include "ReadJob.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

namespace ktr::cli {

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

JobRules::Format RuleFormat(ImageFormat format) {
    switch (format) {
    case ImageFormat::Hex:
        return JobRules::Format::Hex;
    case ImageFormat::Raw:
        return JobRules::Format::Raw;
    case ImageFormat::Auto:
        break;
    }
    return JobRules::Format::ByExtension;
}

} // namespace

bool CliSession::RefuseFile(Memory memory, const QString& path, const QString& why) {
    Finish(kExitFile, QStringLiteral("файл %1 «%2» %3").arg(MemoryName(memory), path, why));
    return false;
}

// Whatever can be refused before the device is asked is refused at once.
bool CliSession::CheckFiles() {
    if (options_.Cmd == Command::Write || options_.Cmd == Command::Verify) {
        for (const auto& [memory, path] : {std::pair{Memory::Flash, options_.FlashFile},
                                           std::pair{Memory::Eeprom, options_.EepromFile}})
            if (!path.isEmpty() && !CheckImageFile(memory, path)) return false;
    }
    if (options_.Cmd == Command::Read) {
        for (const auto& [memory, path] : {std::pair{Memory::Eeprom, options_.EepromFile},
                                           std::pair{Memory::Aux, options_.AuxFile}})
            if (!path.isEmpty() && !CheckOutputFile(memory, path)) return false;
    }
    return true;
}

bool CliSession::CheckImageFile(Memory memory, const QString& path) {
    const auto refuse = [&](const QString& why) { return RefuseFile(memory, path, why); };
    const QFileInfo info(path);
    if (!info.exists()) return refuse(QStringLiteral("не найден"));
    if (!info.isFile())
        return refuse(info.isDir() ? QStringLiteral("является каталогом")
                                   : QStringLiteral("не является обычным файлом"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("не открывается: ") + file.errorString());
    if (options_.Format != ImageFormat::Auto) return true;
    // The window's rule by name alone would write Intel HEX text as raw bytes, or read a
    // binary image as HEX: neither is what anybody meant.
    const QByteArray head = file.read(kSniffBytes);
    if (HexByExtension(memory, path) && LooksBinary(head))
        return refuse(QStringLiteral("читается по расширению как Intel HEX, но это двоичные "
                                     "данные; укажите --format raw или --format hex"));
    if (!HexByExtension(memory, path) && LooksLikeHex(head))
        return refuse(QStringLiteral("читается по расширению как двоичный образ, но содержит "
                                     "записи Intel HEX; укажите --format hex или --format raw"));
    return true;
}

bool CliSession::CheckOutputFile(Memory memory, const QString& path) {
    const auto refuse = [&](const QString& why) { return RefuseFile(memory, path, why); };
    const QFileInfo info(path);
    if (info.isDir()) return refuse(QStringLiteral("является каталогом"));
    if (info.exists() && !info.isFile())
        return refuse(QStringLiteral("не является обычным файлом"));
    const QFileInfo folder(info.absolutePath());
    if (!folder.isDir())
        return refuse(
            QStringLiteral("не может быть записан: нет каталога «%1»").arg(folder.filePath()));
    // The file is written beside its name and renamed: the folder must take a new file.
    QTemporaryFile probe(folder.filePath() + QStringLiteral("/.ktr-cli-XXXXXX"));
    if (!probe.open())
        return refuse(QStringLiteral("не может быть записан: ") + probe.errorString());
    return true;
}

void CliSession::StartImages(WriteJobs& files) {
    const bool write = options_.Cmd == Command::Write;
    // The window's EEPROM job refuses an image that fills the area, so a backup read from the
    // device could not be restored; the command line writes it through the same block
    // writes the configurators use, which take the whole area.
    files.SetRules({RuleFormat(options_.Format), true, true, true});
    std::vector<ImageFile> images;
    for (const auto& [memory, path] : {std::pair{Memory::Flash, options_.FlashFile},
                                       std::pair{Memory::Eeprom, options_.EepromFile}})
        if (!path.isEmpty()) images.push_back({memory, path});
    RunJob(std::make_unique<ImageJob>(files, std::move(images), write));
}

void CliSession::StartRead() {
    std::vector<ReadArea> areas;
    for (const auto& [memory, path] :
         {std::pair{Memory::Eeprom, options_.EepromFile}, std::pair{Memory::Aux, options_.AuxFile}})
        if (!path.isEmpty()) areas.push_back({memory, path});
    RunJob(std::make_unique<ReadJob>(*link_, std::move(areas)));
}

void CliSession::RunJob(std::unique_ptr<Job> job) {
    job_ = std::move(job);
    connect(job_.get(), &Job::Accepted, this, &CliSession::JobAccepted);
    connect(job_.get(), &Job::Started, this, [this](const JobProgress& progress) {
        workClock_.start();
        ShowProgress(progress);
    });
    connect(job_.get(), &Job::Progress, this, &CliSession::ShowProgress);
    connect(job_.get(), &Job::Finished, this, &CliSession::JobFinished);
    job_->Start();
}

void CliSession::JobAccepted(const ktr::JobAccepted& part) {
    const QString memory = MemoryName(part.Target);
    if (options_.Cmd == Command::Read) {
        out_.Step(QStringLiteral("чтение %1: %2 байт").arg(memory).arg(part.ImageBytes));
        read_
            << QStringLiteral("%1 %2 байт в «%3»").arg(memory).arg(part.ImageBytes).arg(part.Path);
        return;
    }
    out_.Step(
        QStringLiteral("%1 «%2»: %3 байт, %4 блоков к %5")
            .arg(memory, part.Path)
            .arg(part.ImageBytes)
            .arg(part.Blocks)
            .arg(part.Write ? QStringLiteral("записи и проверке") : QStringLiteral("проверке")));
}

void CliSession::JobFinished(const JobOutcome& outcome) {
    if (ending_) return Finish(ending_->first, ending_->second, outcome.Left);
    const JobRefused& refused = outcome.Refusal;
    const JobMismatch& difference = outcome.Difference;
    const QString memory = MemoryName(refused.Target);
    const QString address = QString::number(difference.Address, 16).toUpper();
    switch (outcome.End) {
    case JobEnd::Done:
        return Finish(kExitDone,
                      options_.Cmd == Command::Read
                          ? QStringLiteral("прочитано: ") + read_.join(QStringLiteral(", "))
                      : options_.Cmd == Command::Write
                          ? QStringLiteral("записано и проверено")
                          : QStringLiteral("проверено: память устройства совпадает с файлом"));
    case JobEnd::Refused:
        if (refused.Reason == JobRefusal::TooLarge && options_.Cmd == Command::Read)
            return Finish(kExitLink, QStringLiteral("чтение %1 отклонено: устройство сообщило "
                                                    "размер %2 байт, больше предела %3 байт")
                                         .arg(memory)
                                         .arg(refused.Size)
                                         .arg(refused.Limit));
        if (refused.Reason == JobRefusal::CannotWrite)
            return Finish(kExitFile, QStringLiteral("файл %1 «%2» не записан: %3")
                                         .arg(memory, refused.Path, refused.SystemText));
        return Finish(kExitFile, QStringLiteral("файл %1 «%2» не принят: %3")
                                     .arg(memory, refused.Path, RefusalText(refused)));
    case JobEnd::Mismatch: {
        QString text = QStringLiteral("ошибка верификации %1 по адресу %2h")
                           .arg(MemoryName(difference.Target), address);
        if (!difference.Narrowed)
            text += difference.Repeated
                        ? QStringLiteral(" (адрес блока; отличающийся байт в нём не определён)")
                        : QStringLiteral(" (адрес блока; при повторной проверке отличие не "
                                         "повторилось)");
        return Finish(kExitMismatch, text, outcome.Left);
    }
    case JobEnd::LinkLost:
    case JobEnd::Cancelled:
        break;
    }
    Finish(kExitLink, QStringLiteral("очередь команд очищена"), outcome.Left);
}

void CliSession::ShowProgress(const JobProgress& progress) {
    Progress p;
    p.DoneBlocks = int64_t(progress.DoneBlocks);
    p.TotalBlocks = int64_t(progress.TotalBlocks);
    p.DoneBytes = int64_t(progress.DoneBytes);
    p.TotalBytes = int64_t(progress.TotalBytes);
    const double seconds = double(workClock_.nsecsElapsed()) / 1e9;
    if (p.DoneBytes > 0 && seconds > 0) {
        p.BytesPerSecond = double(p.DoneBytes) / seconds;
        p.SecondsLeft = double(p.TotalBytes - p.DoneBytes) / p.BytesPerSecond;
    }
    out_.ShowProgress(p);
}

} // namespace ktr::cli

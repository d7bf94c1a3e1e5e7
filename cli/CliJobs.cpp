// The write and verify commands: files checked before the device is asked, jobs queued with
// the command line's rules, a mismatch narrowed to its first byte, and what a failure leaves.
#include "CliSession.h"

#include "WriteJobs.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
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

void CliSession::StartJobs() {
    const bool write = options_.Cmd == Command::Write;
    // The window's EEPROM job refuses an image that fills the area, so a backup read from the
    // device could not be restored; the command line writes it through the same block
    // writes the configurators use, which take the whole area.
    jobs_->SetRules({RuleFormat(options_.Format), true, true});
    struct Job {
        const QString& File;
        bool (WriteJobs::*Queue)(const QString&);
        QString StartLine;
    };
    const Job jobs[] = {
        {options_.FlashFile, write ? &WriteJobs::WriteFlashFile : &WriteJobs::VerifyFlashFile,
         QStringLiteral("Запуск прошивки основной программы...")},
        {options_.EepromFile, write ? &WriteJobs::WriteEepromFile : &WriteJobs::VerifyEepromFile,
         QStringLiteral("Запуск прошивки EEPROM...")},
    };
    // Both files are taken before anything is sent: a refused second file leaves the first
    // unwritten too.
    for (const Job& job : jobs) {
        if (job.File.isEmpty()) continue;
        if (write) AddLog(job.StartLine);
        // A refusal has finished the command through its event.
        if (!(jobs_->*job.Queue)(job.File)) return;
    }
    message_ = write ? QStringLiteral("записано и проверено")
                     : QStringLiteral("проверено: память устройства совпадает с файлом");
    BeginWork(QueuedImageBytes());
}

void CliSession::JobRefusedBy(const JobRefused& job) {
    Finish(kExitFile, QStringLiteral("файл %1 «%2» не принят: %3")
                          .arg(MemoryName(job.Target), job.Path, RefusalText(job)));
}

void CliSession::JobAcceptedBy(const JobAccepted& job) {
    out_.Step(
        QStringLiteral("%1 «%2»: %3 байт, %4 блоков к %5")
            .arg(MemoryName(job.Target), job.Path)
            .arg(job.ImageBytes)
            .arg(job.Blocks)
            .arg(job.Write ? QStringLiteral("записи и проверке") : QStringLiteral("проверке")));
}

// Image bytes still queued by the jobs: every entry is one block behind its BlockRecord.
int64_t CliSession::QueuedImageBytes() const {
    int64_t bytes = -kBlockHeaderSize * int64_t(link_->Queue().size());
    for (uint8_t type : {cmdFlashWrite, cmdFlashVerify, cmdEepromWrite, cmdEepromVerify})
        bytes += int64_t(link_->QueuedBytes(type));
    return bytes;
}

// The device compares whole blocks: the first differing byte is found by verifying halves
// of the block until one byte is left, each half a frame of its own.
void CliSession::Mismatch(Memory memory, uint32_t address) {
    if (phase_ == Phase::Probing) {
        probe_.High = probe_.Mid; // the difference lies in the half just verified
        probe_.InFlight = false;
        probe_.Confirmed = true;
        QTimer::singleShot(0, this, &CliSession::ProbeNext); // once the queue is dropped
        return;
    }
    const CommandEntry* head = link_->Queue().empty() ? nullptr : &link_->Queue().front();
    const bool known = phase_ == Phase::Working && head && MemoryOfType(head->Command) == memory &&
                       head->Address() == address && head->BlockCount() > 1 &&
                       head->Data.size() >= size_t(kBlockHeaderSize + head->BlockCount());
    if (!known) {
        Finish(kExitMismatch, QStringLiteral("ошибка верификации %1 по адресу %2h (адрес блока; "
                                             "отличающийся байт в нём не определён)")
                                  .arg(MemoryName(memory), QString::number(address, 16).toUpper()));
        return;
    }
    // What the failure leaves behind is counted before the link drops the queue.
    if (options_.Cmd == Command::Write) {
        CountLeft();
        resultFields_ = PartialWrite(partialText_);
    }
    const uint8_t* data = BlockData(head->Data.data());
    probe_ = {memory,  head->Command,
              address, std::vector<uint8_t>(data, data + head->BlockCount()),
              address, address + head->BlockCount()};
    phase_ = Phase::Probing;
    QTimer::singleShot(0, this, &CliSession::ProbeNext);
}

// Runs once the link has dropped the queue after a difference, and after every probe.
void CliSession::ProbeNext() {
    if (phase_ != Phase::Probing || !link_->Queue().empty()) return;
    if (probe_.InFlight) probe_.Low = probe_.Mid; // drained: the half in flight was equal
    probe_.InFlight = false;
    // Halves that all verify equal leave one byte never compared alone: it is, unless the
    // difference does not repeat.
    const bool narrowed = probe_.High - probe_.Low <= 1;
    if (narrowed && (probe_.Confirmed || probe_.Low >= probe_.High)) {
        const QString memory = MemoryName(probe_.Target);
        if (probe_.Low < probe_.High)
            Finish(kExitMismatch, QStringLiteral("ошибка верификации %1 по адресу %2h")
                                      .arg(memory, QString::number(probe_.Low, 16).toUpper()));
        else
            Finish(kExitMismatch,
                   QStringLiteral("ошибка верификации %1 по адресу %2h (адрес блока; при "
                                  "повторной проверке отличие не повторилось)")
                       .arg(memory, QString::number(probe_.Start, 16).toUpper()));
        return;
    }
    probe_.Mid = narrowed ? probe_.High : probe_.Low + (probe_.High - probe_.Low) / 2;
    const uint32_t count = probe_.Mid - probe_.Low;
    uint8_t block[kBlockHeaderSize + kMaxBlockData];
    PutBlockHeader(block, probe_.Low, uint16_t(count));
    std::memcpy(BlockData(block), probe_.Data.data() + (probe_.Low - probe_.Start), count);
    probe_.InFlight =
        link_->EnqueueCommand(probe_.Command, block, uint16_t(kBlockHeaderSize + count));
}

namespace {
constexpr uint8_t kCountedTypes[] = {cmdFlashWrite, cmdFlashVerify, cmdEepromWrite,
                                     cmdEepromVerify};
} // namespace

// On the main thread, after every change of the queue while a write runs: what is left of
// each pass, for a result that may have to be printed from the guard's thread.
void CliSession::CountLeft() {
    for (size_t i = 0; i < std::size(kCountedTypes); ++i)
        left_[i] = int64_t(link_->QueuedEntries(kCountedTypes[i]));
}

QJsonObject CliSession::PartialResult(QString& text) const {
    return writing_ ? PartialWrite(text) : QJsonObject();
}

// Blocks written and verified of each memory: what a failure after writing began leaves.
QJsonObject CliSession::PartialWrite(QString& text) const {
    QJsonArray memories;
    QStringList parts;
    for (const auto& [memory, pass] : {std::pair{Memory::Flash, 0}, std::pair{Memory::Eeprom, 2}}) {
        const int64_t writes = queuedBlocks_[kCountedTypes[pass]];
        const int64_t verifies = queuedBlocks_[kCountedTypes[pass + 1]];
        if (writes == 0) continue;
        const int64_t written = writes - left_[pass], verified = verifies - left_[pass + 1];
        parts << QStringLiteral("%1 записано %2 из %3 блоков, проверено %4 из %5")
                     .arg(MemoryName(memory))
                     .arg(written)
                     .arg(writes)
                     .arg(verified)
                     .arg(verifies);
        memories.append(QJsonObject{{QStringLiteral("memory"), MemoryName(memory)},
                                    {QStringLiteral("blocks_written"), qint64(written)},
                                    {QStringLiteral("write_blocks"), qint64(writes)},
                                    {QStringLiteral("blocks_verified"), qint64(verified)},
                                    {QStringLiteral("verify_blocks"), qint64(verifies)}});
    }
    if (parts.isEmpty()) return {};
    text = QStringLiteral("устройство может быть записано частично: ") +
           parts.join(QStringLiteral("; "));
    return {{QStringLiteral("partial"), memories}};
}

} // namespace ktr::cli

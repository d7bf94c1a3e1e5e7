#include "CliSession.h"

#include "ConfiguratorHost.h"
#include "LogTexts.h"
#include "TcpBridge.h"
#include "WriteJobs.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>

#include <chrono>

namespace ktr::cli {

namespace {
const QString kStartLine = QStringLiteral("Запуск программы");
const QRegularExpression
    kMismatchLine(QStringLiteral("^Ошибка верификации по адресу ([0-9A-F]+)h!$"));

QString MemoryOfVerify(uint8_t command) {
    switch (command) {
    case cmdFlashVerify:
        return QStringLiteral("FLASH ");
    case cmdEepromVerify:
        return QStringLiteral("EEPROM ");
    case cmdAuxVerify:
        return QStringLiteral("AUX ");
    default:
        return {};
    }
}
} // namespace

CliSession::CliSession(UsbBackend& usb, const CliOptions& options, CliOutput& output)
    : usb_(usb), options_(options), out_(output) {
    // A timer event rather than a posted call: a configurator started from a posted call
    // spins its own loop, and Qt's glib dispatcher would never deliver the link's receive
    // event that was already pending then, so its requests would go unanswered.
    drained_.setSingleShot(true);
    drained_.setInterval(0);
    connect(&drained_, &QTimer::timeout, this, &CliSession::Drained);
}

CliSession::~CliSession() = default;

int CliSession::Run() {
    if (options_.Cmd == Command::List)
        List();
    else if (CheckFiles())
        RunLinked();
    out_.Result(CommandName(options_.Cmd), status_, message_);
    return status_;
}

void CliSession::Finish(int status, const QString& message) {
    if (phase_ == Phase::Finished) return;
    phase_ = Phase::Finished;
    status_ = status;
    message_ = message;
    loop_.quit();
}

void CliSession::Interrupt() {
    if (options_.Cmd == Command::Bridge)
        Finish(kExitDone, QStringLiteral("мост закрыт"));
    else
        Finish(kExitInterrupted, QStringLiteral("прервано"));
}

int CliSession::List() {
    usb_.Init();
    usb_.FindBusses();
    usb_.FindDevices();
    int found = 0;
    for (usb_bus* bus = usb_.GetBusses(); bus; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device; device = device->next) {
            if (device->descriptor.idVendor != kVendorId ||
                device->descriptor.idProduct != kProductId)
                continue;
            ++found;
            const int busNumber = BusNumber(bus), deviceNumber = DeviceNumber(device);
            out_.Data(
                QStringLiteral("device"), QStringLiteral("%1:%2").arg(busNumber).arg(deviceNumber),
                {{QStringLiteral("bus"), busNumber}, {QStringLiteral("device"), deviceNumber}});
        }
    }
    if (found == 0) Finish(kExitLink, QStringLiteral("устройства 1000:6666 не найдены"));
    return status_;
}

// Whatever can be refused before the device is asked is refused at once.
bool CliSession::CheckFiles() {
    const auto refuse = [&](const QString& memory, const QString& path, const QString& why) {
        Finish(kExitFile, QStringLiteral("файл %1 «%2» %3").arg(memory, path, why));
        return false;
    };
    if (options_.Cmd == Command::Write || options_.Cmd == Command::Verify) {
        for (const auto& [memory, path] :
             {std::pair{QStringLiteral("FLASH"), options_.FlashFile},
              std::pair{QStringLiteral("EEPROM"), options_.EepromFile}}) {
            if (path.isEmpty()) continue;
            if (!QFileInfo(path).isFile()) return refuse(memory, path, QStringLiteral("не найден"));
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly))
                return refuse(memory, path,
                              QStringLiteral("не открывается: ") + file.errorString());
        }
    }
    if (options_.Cmd == Command::Read) {
        for (const auto& [memory, path] : {std::pair{QStringLiteral("EEPROM"), options_.EepromFile},
                                           std::pair{QStringLiteral("AUX"), options_.AuxFile}}) {
            if (path.isEmpty()) continue;
            const QFileInfo info(path);
            const QFileInfo folder(info.absolutePath());
            if (info.isDir() || !folder.isDir() || !folder.isWritable())
                return refuse(memory, path, QStringLiteral("не может быть записан"));
        }
    }
    return true;
}

void CliSession::RunLinked() {
    LinkControl link(usb_, *this, options_.Timings);
    link.Usb.WantedBus = options_.Bus;
    link.Usb.WantedDevice = options_.Device;
    WriteJobs jobs(link);
    ConfiguratorHost host(link, *this);
    // Only configure needs the kind's library loaded on every adoption.
    if (options_.Cmd == Command::Configure) link.SetDeviceKindHook(&host);
    std::unique_ptr<TcpBridge> bridge;
    if (options_.Cmd == Command::Bridge) bridge = std::make_unique<TcpBridge>(link, *this);
    link_ = &link;
    jobs_ = &jobs;
    host_ = &host;
    bridge_ = bridge.get();
    connect(&link, &LinkControl::QueueChanged, this, [this] {
        if (phase_ == Phase::Working && totalBlocks_ > 0) ShowProgress();
    });

    QTimer timeout;
    timeout.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, this, [this] {
        if (options_.Cmd == Command::Bridge)
            Finish(kExitDone, QStringLiteral("мост закрыт: время истекло"));
        else
            Finish(kExitLink,
                   QStringLiteral("истекло время ожидания (%1 с)").arg(options_.TimeoutS));
    });
    if (options_.Cmd != Command::Bridge || options_.TimeoutSet)
        timeout.start(std::chrono::seconds(options_.TimeoutS));

    AddLog(kStartLine);
    if (options_.Cmd == Command::Bridge) StartBridge();
    if (phase_ != Phase::Finished) link.ToolButton1Click();
    if (phase_ != Phase::Finished) loop_.exec();
    link.CloseLink(); // as the window does when it closes
    if (status_ == kExitDone && options_.Cmd == Command::Read) SaveReadAreas();
    bridge_ = nullptr;
    host_ = nullptr;
    jobs_ = nullptr;
    link_ = nullptr;
}

void CliSession::AddLog(const QString& line) {
    out_.Log(line);
    if (capturing_) refusal_ = line;
    if (!link_) return;
    if (line == kLogOpened) {
        everOpened_ = true;
        openedBus_ = link_->Usb.Bus ? BusNumber(link_->Usb.Bus) : 0;
        openedDevice_ = link_->Usb.Device ? DeviceNumber(link_->Usb.Device) : 0;
    } else if (line == kLogCannotOpen || line == kLogClosed) {
        // A fault's reopen follows its close at once; whether the link is back is known
        // when control returns to the event loop.
        QTimer::singleShot(0, this, &CliSession::CheckLink);
    } else if (line == kLogWatchdog) {
        watchdogFired_ = true;
    } else if (line == kLogDone) {
        drained_.start(); // the answer that drained the queue is still being handled
    } else if (const QRegularExpressionMatch mismatch = kMismatchLine.match(line);
               mismatch.hasMatch()) {
        const QString memory =
            link_->Queue().empty() ? QString() : MemoryOfVerify(link_->Queue().front().Command);
        Finish(
            kExitMismatch,
            QStringLiteral("ошибка верификации %1по адресу %2h").arg(memory, mismatch.captured(1)));
    }
}

void CliSession::ShowError(const QString& text) {
    out_.Log(text);
    if (capturing_) refusal_ = text;
}

void CliSession::Drained() {
    if (phase_ == Phase::Connecting)
        Ready();
    else if (phase_ == Phase::Working && options_.Cmd != Command::Bridge && !host_->Running())
        Finish(kExitDone, message_);
}

void CliSession::CheckLink() {
    if (!link_ || link_->Usb.IsOpen || phase_ == Phase::Finished) return;
    // The bridge runs on like the window: TCP data arriving for a closed link reopens it.
    if (options_.Cmd == Command::Bridge && everOpened_) return;
    QString device = QStringLiteral("1000:6666");
    if (options_.Bus != 0)
        device += QStringLiteral(" на %1:%2").arg(options_.Bus).arg(options_.Device);
    if (!everOpened_)
        Finish(kExitLink,
               QStringLiteral("устройство %1 не найдено или не открывается").arg(device));
    else if (watchdogFired_)
        Finish(kExitLink, QStringLiteral("устройство %1 не отвечает").arg(device));
    else
        Finish(kExitLink,
               QStringLiteral("связь с устройством %1 потеряна и не восстановлена").arg(device));
}

QString CliSession::DeviceName() const {
    return statusPanel_.startsWith(kStatusPrefix) ? statusPanel_.mid(kStatusPrefix.size())
                                                  : statusPanel_;
}

// The device is identified and its sizes are in: the command proper begins.
void CliSession::Ready() {
    if (phase_ != Phase::Connecting || !link_->LinkEstablished || !link_->Queue().empty() ||
        statusPanel_.isEmpty())
        return;
    switch (options_.Cmd) {
    case Command::Info:
        ShowInfo();
        Finish(kExitDone, QString());
        break;
    case Command::Write:
    case Command::Verify:
        StartJobs();
        break;
    case Command::Read:
        StartRead();
        break;
    case Command::Bridge:
        phase_ = Phase::Working;
        break;
    case Command::Configure:
        StartConfigure();
        break;
    default:
        break;
    }
}

void CliSession::ShowInfo() {
    const uint32_t kind = KindOfSignature(link_->LinkSignature);
    const QString kindName = kind >= 1 && kind <= kDeviceKinds.size()
                                 ? QString::fromUtf8(kDeviceKinds[kind - 1].Item)
                                 : QString();
    const QString text = QStringLiteral("Устройство: %1\nТип: %2 (%3)\nFLASH: %4 байт\n"
                                        "EEPROM: %5 байт\nAUX: %6 байт\nАдрес: %7:%8")
                             .arg(DeviceName())
                             .arg(kind)
                             .arg(kindName)
                             .arg(link_->FlashSize)
                             .arg(link_->EepromSize)
                             .arg(link_->AuxSize)
                             .arg(openedBus_)
                             .arg(openedDevice_);
    out_.Data(QStringLiteral("info"), text,
              {{QStringLiteral("name"), DeviceName()},
               {QStringLiteral("kind"), int(kind)},
               {QStringLiteral("kind_name"), kindName},
               {QStringLiteral("flash_size"), qint64(link_->FlashSize)},
               {QStringLiteral("eeprom_size"), qint64(link_->EepromSize)},
               {QStringLiteral("aux_size"), qint64(link_->AuxSize)},
               {QStringLiteral("bus"), openedBus_},
               {QStringLiteral("device"), openedDevice_}});
}

void CliSession::StartJobs() {
    const bool write = options_.Cmd == Command::Write;
    struct Job {
        QString Memory;
        const QString& File;
        bool (WriteJobs::*Queue)(const QString&);
        QString StartLine;
    };
    const Job jobs[] = {
        {QStringLiteral("FLASH"), options_.FlashFile,
         write ? &WriteJobs::WriteFlashFile : &WriteJobs::VerifyFlashFile,
         QStringLiteral("Запуск прошивки основной программы...")},
        {QStringLiteral("EEPROM"), options_.EepromFile,
         write ? &WriteJobs::WriteEepromFile : &WriteJobs::VerifyEepromFile,
         QStringLiteral("Запуск прошивки EEPROM...")},
    };
    // Both files are taken before anything is sent: a refused second file leaves the first
    // unwritten too.
    for (const Job& job : jobs) {
        if (job.File.isEmpty()) continue;
        if (write) AddLog(job.StartLine);
        capturing_ = true;
        refusal_.clear();
        const bool accepted = (jobs_->*job.Queue)(job.File);
        capturing_ = false;
        if (!accepted) {
            // The HEX reader's silent end is the one refusal that says nothing.
            Finish(kExitFile,
                   QStringLiteral("файл %1 «%2» не принят: %3")
                       .arg(job.Memory, job.File,
                            refusal_.isEmpty() ? QStringLiteral("нет записи конца файла HEX")
                                               : refusal_));
            return;
        }
    }
    message_ = write ? QStringLiteral("записано и проверено")
                     : QStringLiteral("проверено: память устройства совпадает с файлом");
    if (link_->Queue().empty()) {
        Finish(kExitDone, QStringLiteral("нечего записывать: образ пуст"));
        return;
    }
    BeginWork(QueuedImageBytes());
}

// Image bytes still queued by the jobs: every entry is one block behind its BlockRecord.
int64_t CliSession::QueuedImageBytes() const {
    int64_t bytes = -kBlockHeaderSize * int64_t(link_->Queue().size());
    for (uint8_t type : {cmdFlashWrite, cmdFlashVerify, cmdEepromWrite, cmdEepromVerify})
        bytes += int64_t(link_->QueuedBytes(type));
    return bytes;
}

void CliSession::BeginWork(int64_t totalBytes) {
    phase_ = Phase::Working;
    totalBlocks_ = int64_t(link_->Queue().size());
    totalBytes_ = totalBytes;
    workClock_.start();
    ShowProgress();
}

void CliSession::ShowProgress() {
    Progress p;
    p.TotalBlocks = totalBlocks_;
    p.TotalBytes = totalBytes_;
    p.DoneBlocks = std::max<int64_t>(0, totalBlocks_ - int64_t(link_->Queue().size()));
    if (options_.Cmd == Command::Read) {
        // Read requests carry no data; every block but the last is a full one.
        p.DoneBytes = std::min(totalBytes_, p.DoneBlocks * kMaxBlockData);
    } else {
        p.DoneBytes = std::clamp<int64_t>(totalBytes_ - QueuedImageBytes(), 0, totalBytes_);
    }
    const double seconds = double(workClock_.nsecsElapsed()) / 1e9;
    if (p.DoneBytes > 0 && seconds > 0) {
        p.BytesPerSecond = double(p.DoneBytes) / seconds;
        p.SecondsLeft = double(p.TotalBytes - p.DoneBytes) / p.BytesPerSecond;
    }
    out_.ShowProgress(p);
}

} // namespace ktr::cli

#include "CliSession.h"

#include "ConfiguratorHost.h"
#include "TcpBridge.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QTimer>

#include <chrono>

namespace ktr::cli {

namespace {
const QString kStartLine = QStringLiteral("Запуск программы");
} // namespace

CliSession::CliSession(UsbBackend& usb, const CliOptions& options, CliOutput& output)
    : usb_(usb), options_(options), out_(output) {}

CliSession::~CliSession() = default;

int CliSession::Run() {
    if (options_.Cmd == Command::List)
        List();
    else if (CheckFiles() && OpenJournal())
        RunLinked();
    out_.Result(CommandName(options_.Cmd), status_, message_, resultFields_);
    return status_;
}

void CliSession::End(int status, const QString& message, JobEnd end) {
    if (job_ && !job_->IsFinished()) {
        ending_ = {status, message};
        job_->Abort(end); // its Finished ends the command
        return;
    }
    Finish({status, message, {}});
}

bool CliSession::OpenJournal() {
    QString error;
    if (options_.JournalFile.isEmpty() || journal_.Open(options_.JournalFile, &error)) return true;
    Finish({kExitJournal, error, {}});
    return false;
}

void CliSession::Finish(const Verdict& verdict) {
    if (finished_) return;
    finished_ = true;
    status_ = verdict.Status;
    message_ = verdict.Message;
    QString error;
    if (attempt_ && journal_.IsOpen() && journal_.Append(attempt_->Close(verdict), &error) == 0) {
        status_ = kExitJournal;
        message_ = error + QStringLiteral("; ") + message_;
    }
    if (!verdict.Partial.isEmpty()) resultFields_ = {{QStringLiteral("partial"), verdict.Partial}};
    loop_.quit();
}

void CliSession::Interrupt() {
    if (options_.Cmd == Command::Bridge)
        End(kExitDone, QStringLiteral("мост закрыт"));
    else
        End(ExitStatusOfSignal(options_.InterruptSignal), QStringLiteral("прервано"));
}

void CliSession::TimedOut() {
    if (options_.Cmd == Command::Bridge)
        End(kExitDone, QStringLiteral("мост закрыт: время истекло"));
    else
        End(kExitLink, QStringLiteral("истекло время ожидания (%1 с)").arg(options_.TimeoutS));
}

QString CliSession::DeviceText() const {
    QString device = QStringLiteral("1000:6666");
    if (options_.OneDevice().Bus != 0)
        device += QStringLiteral(" на ") + options_.OneDevice().Text();
    return device;
}

void CliSession::List() {
    usb_.Init();
    const std::vector<UsbDeviceInfo> devices = usb_.ListDevices();
    for (const UsbDeviceInfo& device : devices) {
        const QString address = DeviceAddress{device.Bus, device.Device}.Text();
        out_.Data(QStringLiteral("device"),
                  device.Accessible ? address : address + QStringLiteral(" (нет доступа)"),
                  {{QStringLiteral("bus"), device.Bus},
                   {QStringLiteral("device"), device.Device},
                   {QStringLiteral("port"), QString::fromStdString(device.PortPath)},
                   {QStringLiteral("accessible"), device.Accessible}});
    }
    if (devices.empty()) Finish({kExitLink, QStringLiteral("устройства 1000:6666 не найдены"), {}});
}

void CliSession::RunLinked() {
    LinkControl link(usb_, *this, options_.Timings);
    link.ChooseDevice(options_.OneDevice().Bus, options_.OneDevice().Device);
    WriteJobs files(link);
    ConfiguratorHost host(link, *this);
    // Only configure needs the kind's library loaded on every adoption.
    if (options_.Cmd == Command::Configure) link.SetDeviceKindHook(&host);
    std::unique_ptr<TcpBridge> bridge;
    if (options_.Cmd == Command::Bridge) bridge = std::make_unique<TcpBridge>(link, *this);
    const bool bridging = options_.Cmd == Command::Bridge;
    DeviceSession session(link, bridging ? 0 : options_.LinkTimeoutS);
    link_ = &link;
    host_ = &host;
    bridge_ = bridge.get();
    BindSession(session);
    std::vector<JournalImage> images;
    for (const auto& [memory, path] : {std::pair{Memory::Flash, options_.FlashFile},
                                       std::pair{Memory::Eeprom, options_.EepromFile}}) {
        if (path.isEmpty() || !journal_.IsOpen() || options_.Cmd == Command::Read) continue;
        QString error;
        if (std::optional<JournalImage> image = JournalImageFromFile(
                MemoryName(memory).toLower(), QFileInfo(path).absoluteFilePath(),
                ReadsAsHex(memory, path, options_.Format) ? "hex" : "raw", &error))
            images.push_back(*image);
    }
    AttemptRecord attempt(session, usb_, CommandName(options_.Cmd), images);
    attempt_ = &attempt;
    connect(&session, &DeviceSession::Ready, this, [this, &files](const DeviceInfo& device) {
        if (options_.Cmd == Command::Write || options_.Cmd == Command::Verify)
            StartImages(files);
        else
            Ready(device);
    });

    QTimer timeout;
    timeout.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, this, &CliSession::TimedOut);
    if (!bridging || options_.TimeoutSet) timeout.start(std::chrono::seconds(options_.TimeoutS));

    AddLog(kStartLine);
    if (bridging) StartBridge();
    if (!finished_) session.Connect();
    if (!finished_) loop_.exec();
    link.CloseLink(); // as the window does when it closes
    job_.reset();
    attempt_ = nullptr;
    bridge_ = nullptr;
    host_ = nullptr;
    link_ = nullptr;
}

void CliSession::BindSession(DeviceSession& session) {
    connect(&session, &DeviceSession::Opened, this, [this](int bus, int device) {
        out_.Step(QStringLiteral("устройство %1:%2 открыто").arg(bus).arg(device));
    });
    connect(&session, &DeviceSession::Identified, this, [this](const QString& name) {
        out_.SetDeviceName(name);
        out_.Step(QStringLiteral("устройство: %1").arg(name));
    });
    connect(&session, &DeviceSession::NotServed, this, [this](uint32_t kind) {
        // The bridge runs on as the window does: another device may come.
        if (options_.Cmd == Command::Bridge)
            out_.Step(QStringLiteral("устройство ответило как тип %1, который эта программа "
                                     "не обслуживает")
                          .arg(kind));
        else
            End(kExitLink, NotServedText(DeviceText(), kind), JobEnd::LinkLost);
    });
    connect(&session, &DeviceSession::Lost, this, [this](SessionLoss why) {
        End(kExitLink, LossText(why, DeviceText(), options_.LinkTimeoutS), JobEnd::LinkLost);
    });
}

void CliSession::AddLog(const QString& line) {
    out_.Log(line);
}

void CliSession::ShowError(const QString& text) {
    out_.Log(text);
}

void CliSession::SetTcpStatus(const QString& text) {
    if (text == tcpStatus_) return;
    tcpStatus_ = text;
    out_.Note(text);
}

// The device is identified and its sizes are in: the command proper begins.
void CliSession::Ready(const DeviceInfo& device) {
    switch (options_.Cmd) {
    case Command::Info:
        ShowInfo(device);
        Finish({});
        break;
    case Command::Read:
        StartRead();
        break;
    case Command::Configure:
        StartConfigure();
        break;
    default:
        break;
    }
}

void CliSession::ShowInfo(const DeviceInfo& device) {
    const DeviceKindInfo* info = FindDeviceKind(device.Kind);
    const QString kindName = info ? QString::fromUtf8(info->Item) : QString();
    const QString text = QStringLiteral("Устройство: %1\nТип: %2 (%3)\nFLASH: %4 байт\n"
                                        "EEPROM: %5 байт\nAUX: %6 байт\nАдрес: %7:%8")
                             .arg(device.Name)
                             .arg(device.Kind)
                             .arg(kindName)
                             .arg(device.FlashSize)
                             .arg(device.EepromSize)
                             .arg(device.AuxSize)
                             .arg(device.Bus)
                             .arg(device.Device);
    out_.Data(QStringLiteral("info"), text,
              {{QStringLiteral("name"), device.Name},
               {QStringLiteral("kind"), int(device.Kind)},
               {QStringLiteral("kind_name"), kindName},
               {QStringLiteral("flash_size"), qint64(device.FlashSize)},
               {QStringLiteral("eeprom_size"), qint64(device.EepromSize)},
               {QStringLiteral("aux_size"), qint64(device.AuxSize)},
               {QStringLiteral("bus"), device.Bus},
               {QStringLiteral("device"), device.Device}});
}

} // namespace ktr::cli

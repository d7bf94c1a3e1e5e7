#include "CliSession.h"

#include "ConfiguratorHost.h"
#include "TcpBridge.h"
#include "WriteJobs.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QTimer>

#include <chrono>
#include <unistd.h>

namespace ktr::cli {

namespace {
const QString kStartLine = QStringLiteral("Запуск программы");
} // namespace

CliSession::CliSession(UsbBackend& usb, const CliOptions& options, CliOutput& output)
    : usb_(usb), options_(options), out_(output) {
    // A timer event rather than a posted call: a configurator started from a posted call
    // spins its own loop, and Qt's glib dispatcher would never deliver the link's receive
    // event that was already pending then, so its requests would go unanswered.
    drained_.setSingleShot(true);
    drained_.setInterval(0);
    connect(&drained_, &QTimer::timeout, this, &CliSession::Drained);
    linkTimeout_.setSingleShot(true);
    linkTimeout_.setInterval(std::chrono::seconds(options_.LinkTimeoutS));
    connect(&linkTimeout_, &QTimer::timeout, this, [this] {
        if (!identified_ && everOpened_)
            Finish(kExitLink, QStringLiteral("устройство %1 не опознано за %2 с")
                                  .arg(DeviceText())
                                  .arg(options_.LinkTimeoutS));
        else
            Finish(kExitLink, QStringLiteral("связь с устройством %1 не восстановлена за %2 с")
                                  .arg(DeviceText())
                                  .arg(options_.LinkTimeoutS));
    });
}

CliSession::~CliSession() = default;

int CliSession::Run() {
    if (options_.Cmd == Command::List)
        List();
    else if (CheckFiles())
        RunLinked();
    out_.Result(CommandName(options_.Cmd), status_, message_, resultFields_);
    return status_;
}

void CliSession::Finish(int status, const QString& message) {
    if (phase_ == Phase::Finished) return;
    // A probe after a difference has counted what the write left before the queue went.
    if (status != kExitDone && phase_ == Phase::Working && options_.Cmd == Command::Write) {
        CountLeft();
        resultFields_ = PartialWrite(partialText_);
    }
    writing_ = false;
    phase_ = Phase::Finished;
    status_ = status;
    message_ = message;
    if (status != kExitDone && !partialText_.isEmpty())
        message_ += QStringLiteral("; ") + partialText_;
    linkTimeout_.stop();
    loop_.quit();
}

void CliSession::Interrupt() {
    if (options_.Cmd == Command::Bridge)
        Finish(kExitDone, QStringLiteral("мост закрыт"));
    else
        Finish(ExitStatusOfSignal(options_.InterruptSignal), QStringLiteral("прервано"));
}

void CliSession::TimedOut() {
    if (options_.Cmd == Command::Bridge)
        Finish(kExitDone, QStringLiteral("мост закрыт: время истекло"));
    else
        Finish(kExitLink, QStringLiteral("истекло время ожидания (%1 с)").arg(options_.TimeoutS));
}

QString CliSession::DeviceText() const {
    QString device = QStringLiteral("1000:6666");
    if (options_.OneDevice().Bus != 0)
        device += QStringLiteral(" на ") + options_.OneDevice().Text();
    return device;
}

// The attached devices of the family as the backend lists them now, each with whether this
// user may open its node.
std::vector<CliSession::Attached> CliSession::AttachedDevices(UsbBackend& usb) {
    std::vector<Attached> found;
    for (usb_bus* bus = usb.GetBusses(); bus; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device; device = device->next) {
            if (device->descriptor.idVendor != kVendorId ||
                device->descriptor.idProduct != kProductId)
                continue;
            const DeviceAddress address{BusNumber(bus), DeviceNumber(device)};
            const QByteArray node = QStringLiteral("/dev/bus/usb/%1/%2")
                                        .arg(address.Bus, 3, 10, QLatin1Char('0'))
                                        .arg(address.Device, 3, 10, QLatin1Char('0'))
                                        .toLocal8Bit();
            found.push_back({address, access(node.constData(), R_OK | W_OK) == 0 ||
                                          access(node.constData(), F_OK) != 0});
        }
    }
    return found;
}

int CliSession::List() {
    usb_.Init();
    usb_.FindBusses();
    usb_.FindDevices();
    const std::vector<Attached> devices = AttachedDevices(usb_);
    for (const Attached& device : devices)
        out_.Data(QStringLiteral("device"),
                  device.Accessible ? device.Address.Text()
                                    : device.Address.Text() + QStringLiteral(" (нет доступа)"),
                  {{QStringLiteral("bus"), device.Address.Bus},
                   {QStringLiteral("device"), device.Address.Device},
                   {QStringLiteral("accessible"), device.Accessible}});
    if (devices.empty()) Finish(kExitLink, QStringLiteral("устройства 1000:6666 не найдены"));
    return status_;
}

void CliSession::RunLinked() {
    LinkControl link(usb_, *this, options_.Timings);
    link.ChooseDevice(options_.OneDevice().Bus, options_.OneDevice().Device);
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
    BindEvents();

    QTimer timeout;
    timeout.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, this, &CliSession::TimedOut);
    if (options_.Cmd != Command::Bridge || options_.TimeoutSet)
        timeout.start(std::chrono::seconds(options_.TimeoutS));
    if (options_.Cmd != Command::Bridge) linkTimeout_.start();

    AddLog(kStartLine);
    if (options_.Cmd == Command::Bridge) StartBridge();
    if (phase_ != Phase::Finished) link.ToolButton1Click();
    if (phase_ != Phase::Finished) loop_.exec();
    link.CloseLink(); // as the window does when it closes
    bridge_ = nullptr;
    host_ = nullptr;
    jobs_ = nullptr;
    link_ = nullptr;
}

void CliSession::BindEvents() {
    connect(link_, &LinkControl::QueueChanged, this, [this] {
        LinkProgress();
        if (writing_) CountLeft();
        if (phase_ == Phase::Working && totalBlocks_ > 0) ShowProgress();
    });
    connect(link_, &LinkControl::LinkOpened, this, [this](int bus, int device) {
        if (!everOpened_)
            out_.Step(QStringLiteral("устройство %1:%2 открыто").arg(bus).arg(device));
        everOpened_ = true;
        openedBus_ = bus;
        openedDevice_ = device;
    });
    // A close after a fault is followed by a reopen after the fault pause: whether the link
    // is back is known from that reopen. Any other close, and a failed open, leave it down.
    const auto linkDown = [this](bool reopenFollows) {
        if (options_.Cmd != Command::Bridge && !linkTimeout_.isActive()) linkTimeout_.start();
        if (!reopenFollows) QTimer::singleShot(0, this, &CliSession::CheckLink);
    };
    connect(link_, &LinkControl::LinkOpenFailed, this, [linkDown] { linkDown(false); });
    connect(link_, &LinkControl::LinkClosed, this, [this, linkDown](LinkCloseReason reason) {
        if (reason == LinkCloseReason::Watchdog) watchdogFired_ = true;
        linkDown(reason == LinkCloseReason::Fault || reason == LinkCloseReason::DeviceGone);
    });
    connect(link_, &LinkControl::KindAdopted, this, [this](uint32_t kind, bool served) {
        // The bridge runs on as the window does: another device may come.
        if (!served && options_.Cmd == Command::Bridge)
            out_.Step(QStringLiteral("устройство ответило как тип %1, который эта программа "
                                     "не обслуживает")
                          .arg(kind));
        else if (!served)
            Finish(kExitLink,
                   QStringLiteral("устройство %1 ответило как тип %2, который эта программа "
                                  "не обслуживает")
                       .arg(DeviceText())
                       .arg(kind));
    });
    connect(link_, &LinkControl::DeviceIdentified, this, [this](const QString& name) {
        if (!identified_) {
            out_.SetDeviceName(name);
            out_.Step(QStringLiteral("устройство: %1").arg(name));
        }
        deviceName_ = name;
        identified_ = true;
    });
    // The answer that drained the queue is still being handled: the next step waits.
    connect(link_, &LinkControl::QueueDrained, &drained_, qOverload<>(&QTimer::start));
    connect(link_, &LinkControl::VerifyMismatch, this, &CliSession::Mismatch);
    connect(jobs_, &WriteJobs::Refused, this, &CliSession::JobRefusedBy);
    connect(jobs_, &WriteJobs::Accepted, this, &CliSession::JobAcceptedBy);
}

// The queue moved (an answer retired its head): the link works again.
void CliSession::LinkProgress() {
    const size_t size = link_->Queue().size();
    if (size < lastQueueSize_ && identified_ && phase_ != Phase::Connecting) linkTimeout_.stop();
    lastQueueSize_ = size;
}

void CliSession::AddLog(const QString& line) {
    out_.Log(line);
}

void CliSession::ShowError(const QString& text) {
    out_.Log(text);
}

void CliSession::Drained() {
    if (phase_ == Phase::Connecting)
        Ready();
    else if (phase_ == Phase::Probing)
        ProbeNext();
    else if (phase_ == Phase::Working && options_.Cmd == Command::Read)
        SaveWindow();
    else if (phase_ == Phase::Working && options_.Cmd != Command::Bridge && !host_->Running())
        Finish(kExitDone, message_);
}

void CliSession::CheckLink() {
    // A fault's reopen comes after its pause; a failed one calls this again.
    if (!link_ || link_->IsOpen() || link_->ReopenPending() || phase_ == Phase::Finished) return;
    // The bridge runs on like the window: TCP data arriving for a closed link reopens it.
    if (options_.Cmd == Command::Bridge && everOpened_) return;
    const QString device = DeviceText();
    const DeviceAddress wanted = options_.OneDevice();
    bool denied = false;
    for (const Attached& attached : AttachedDevices(usb_))
        if (wanted.Bus == 0 || attached.Address == wanted) {
            denied = !attached.Accessible;
            break;
        }
    if (!everOpened_ && denied)
        Finish(kExitLink, QStringLiteral("устройство %1 подключено, но нет прав на его открытие: "
                                         "установите пакет ktr-service или правило udev "
                                         "70-ktr-service.rules (скопируйте его в "
                                         "/etc/udev/rules.d/ и выполните «udevadm control "
                                         "--reload && udevadm trigger»), затем переподключите "
                                         "устройство")
                              .arg(device));
    else if (!everOpened_)
        Finish(kExitLink,
               QStringLiteral("устройство %1 не найдено или не открывается").arg(device));
    else if (watchdogFired_)
        Finish(kExitLink, QStringLiteral("устройство %1 не отвечает").arg(device));
    else
        Finish(kExitLink,
               QStringLiteral("связь с устройством %1 потеряна и не восстановлена").arg(device));
}

// The device is identified and its sizes are in: the command proper begins.
void CliSession::Ready() {
    if (phase_ != Phase::Connecting || !link_->LinkEstablished() || !link_->Queue().empty() ||
        !identified_)
        return;
    linkTimeout_.stop();
    lastQueueSize_ = 0;
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
    const uint32_t kind = KindOfSignature(link_->LinkSignature());
    const DeviceKindInfo* info = FindDeviceKind(kind);
    const QString kindName = info ? QString::fromUtf8(info->Item) : QString();
    const QString text = QStringLiteral("Устройство: %1\nТип: %2 (%3)\nFLASH: %4 байт\n"
                                        "EEPROM: %5 байт\nAUX: %6 байт\nАдрес: %7:%8")
                             .arg(deviceName_)
                             .arg(kind)
                             .arg(kindName)
                             .arg(link_->FlashSize())
                             .arg(link_->EepromSize())
                             .arg(link_->AuxSize())
                             .arg(openedBus_)
                             .arg(openedDevice_);
    out_.Data(QStringLiteral("info"), text,
              {{QStringLiteral("name"), deviceName_},
               {QStringLiteral("kind"), int(kind)},
               {QStringLiteral("kind_name"), kindName},
               {QStringLiteral("flash_size"), qint64(link_->FlashSize())},
               {QStringLiteral("eeprom_size"), qint64(link_->EepromSize())},
               {QStringLiteral("aux_size"), qint64(link_->AuxSize())},
               {QStringLiteral("bus"), openedBus_},
               {QStringLiteral("device"), openedDevice_}});
}

void CliSession::BeginWork(int64_t totalBytes) {
    phase_ = Phase::Working;
    totalBlocks_ = int64_t(link_->Queue().size());
    lastQueueSize_ = link_->Queue().size();
    for (const CommandEntry& entry : link_->Queue())
        ++queuedBlocks_[entry.Command];
    CountLeft();
    writing_ = options_.Cmd == Command::Write;
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
        // Read requests carry no data; every block of a window but its last is a full one.
        const int64_t queued = int64_t(link_->Queue().size()) * kMaxBlockData;
        const int64_t window =
            std::min<int64_t>(totalBytes_ - readDone_, int64_t(readWindow_.size()));
        p.DoneBytes = std::clamp<int64_t>(readDone_ + window - queued, readDone_, totalBytes_);
        p.TotalBlocks = (totalBytes_ + kMaxBlockData - 1) / kMaxBlockData;
        p.DoneBlocks = (p.DoneBytes + kMaxBlockData - 1) / kMaxBlockData;
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

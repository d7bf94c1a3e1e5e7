#include "CliGang.h"
#include "CliSession.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <chrono>
#include <signal.h>

namespace ktr::cli {

namespace {
// A child ends by its own --timeout, then closes its link, which may wait out a transfer.
constexpr int kChildGraceS = 15;

QJsonObject ParseEvent(const QByteArray& line) {
    return QJsonDocument::fromJson(line).object();
}

// A device's name as one file name component: it comes from the device, so it may hold
// anything, and must not lead out of the folder the pattern names.
QString FileNamePart(const QString& name) {
    QString part;
    for (const QChar c : name)
        part += c.unicode() < 0x20 || c.unicode() == 0x7F || c == QLatin1Char('/') ||
                        c == QLatin1Char('\\')
                    ? QLatin1Char('_')
                    : c;
    part = part.trimmed();
    return part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")
               ? QStringLiteral("_")
               : part;
}

// {bus} and {dev} first, so that a name holding "{dev}" stays as it is.
QString ExpandPattern(const QString& pattern, DeviceAddress address, const QString& name) {
    return QString(pattern)
        .replace(QLatin1String("{bus}"), QString::number(address.Bus))
        .replace(QLatin1String("{dev}"), QString::number(address.Device))
        .replace(QLatin1String("{name}"), FileNamePart(name));
}

// The single-device info command's text, for an info event read back from a child.
QString InfoText(const QJsonObject& info) {
    return QStringLiteral("Устройство: %1\nТип: %2 (%3)\nFLASH: %4 байт\nEEPROM: %5 байт\n"
                          "AUX: %6 байт\nАдрес: %7:%8")
        .arg(info["name"].toString())
        .arg(info["kind"].toInt())
        .arg(info["kind_name"].toString())
        .arg(info["flash_size"].toInteger())
        .arg(info["eeprom_size"].toInteger())
        .arg(info["aux_size"].toInteger())
        .arg(info["bus"].toInt())
        .arg(info["device"].toInt());
}

} // namespace

struct CliGang::Device {
    DeviceAddress Address;
    std::unique_ptr<CliOutput> Out;
    QProcess* Child = nullptr; // the running child, naming or command
    bool Naming = false;       // the child is the info run that names the device for a read
    bool Named = false;        // ready for a read: named, or its files need no name
    bool Ended = false;        // its result is out
    QString Name;
    QJsonObject ChildResult; // the running child's result event; empty until it came
    QString EepromFile, AuxFile;
};

CliGang::CliGang(const QString& program, const CliOptions& options, CliOutput& output,
                 UsbBackend& usb)
    : program_(program), options_(options), out_(output), usb_(usb) {
    guard_.setSingleShot(true);
    connect(&guard_, &QTimer::timeout, this, [this] {
        const QString message = QStringLiteral("процесс ktr-cli не завершился за %1 с")
                                    .arg(options_.TimeoutS + kChildGraceS);
        StopAll(kExitLink, message);
        for (const auto& device : devices_)
            if (device->Child) {
                End(*device, kExitLink, message); // rather than lost by a kill
                device->Child->kill();
            }
    });
}

CliGang::~CliGang() {
    // Only a Run() cut short leaves children: they must not outlive the program.
    for (const auto& device : devices_)
        if (device->Child) {
            device->Child->disconnect(this);
            device->Child->kill();
            device->Child->waitForFinished();
        }
}

int CliGang::Run() {
    clock_.start();
    const QString command = CommandName(options_.Cmd);
    QList<DeviceAddress> addresses = options_.Devices;
    if (options_.AllDevices) {
        addresses = ListDevices();
        if (addresses.isEmpty()) {
            out_.Result(command, kExitLink, refusal_);
            return kExitLink;
        }
    }
    for (const DeviceAddress& address : addresses) {
        auto& device = devices_.emplace_back(std::make_unique<Device>());
        device->Address = address;
        device->Out = std::make_unique<CliOutput>(out_, address.Text());
    }
    running_ = int(devices_.size());
    guard_.start(std::chrono::seconds(options_.TimeoutS + kChildGraceS));
    const bool naming = options_.Cmd == Command::Read &&
                        (options_.EepromFile + options_.AuxFile).contains(QLatin1String("{name}"));
    for (const auto& device : devices_) {
        device->Named = !naming;
        if (naming || options_.Cmd != Command::Read) Start(*device, naming);
    }
    if (options_.Cmd == Command::Read && !naming) StartReads();
    if (running_ > 0) loop_.exec();
    guard_.stop();
    const int worst = out_.WorstDeviceStatus();
    out_.Result(command, worst, refusal_);
    return worst;
}

// The attached devices in bus and device order; on failure refusal_ says why. The one place
// that lists them.
QList<DeviceAddress> CliGang::ListDevices() {
    usb_.Init();
    QList<DeviceAddress> found;
    for (const UsbDeviceInfo& device : usb_.ListDevices())
        found << DeviceAddress{device.Bus, device.Device};
    std::sort(found.begin(), found.end(), [](DeviceAddress a, DeviceAddress b) {
        return std::pair(a.Bus, a.Device) < std::pair(b.Bus, b.Device);
    });
    if (found.isEmpty()) refusal_ = QStringLiteral("устройства 1000:6666 не найдены");
    return found;
}

void CliGang::Start(Device& device, bool naming) {
    if (stopStatus_ != 0) return End(device, stopStatus_, stopMessage_);
    auto* child = new QProcess(this);
    device.Child = child;
    device.Naming = naming;
    device.ChildResult = {};
    connect(child, &QProcess::readyReadStandardOutput, this,
            [this, &device] { ReadEvents(device); });
    connect(child, &QProcess::finished, this, [this, &device] { ChildEnded(device); });
    connect(child, &QProcess::errorOccurred, this, [this, &device](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) ChildEnded(device);
    });
    const Command command = naming ? Command::Info : options_.Cmd;
    // The info command's own event names the device; any other says the name in one.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (command != Command::Info) environment.insert(QLatin1String(kNameEventVariable), "1");
    child->setProcessEnvironment(environment);
    // What is left of the whole command's time.
    const qint64 leftS = std::max<qint64>(1, options_.TimeoutS - clock_.elapsed() / 1000);
    child->start(program_, DeviceArguments(options_.Arguments, command,
                                           {{QStringLiteral("device"), device.Address.Text()},
                                            {QStringLiteral("timeout"), QString::number(leftS)},
                                            {QStringLiteral("eeprom"), device.EepromFile},
                                            {QStringLiteral("aux"), device.AuxFile}}));
}

// Every event the child printed so far, shown as this device's; the result is kept for the
// child's end.
void CliGang::ReadEvents(Device& device) {
    CliOutput& out = *device.Out;
    while (device.Child->canReadLine()) {
        const QJsonObject event = ParseEvent(device.Child->readLine());
        const QString kind = event["event"].toString();
        if (kind == QLatin1String("result")) {
            device.ChildResult = event;
        } else if (kind == QLatin1String("info")) {
            device.Name = event["name"].toString();
            out.SetDeviceName(device.Name);
            if (!device.Naming && options_.Cmd == Command::Info)
                out.Data(kind, InfoText(event), event);
        } else if (kind == QLatin1String("log")) {
            out.Log(event["text"].toString());
        } else if (device.Naming) {
            continue; // its steps would be told again by the command itself
        } else if (kind == QLatin1String("step")) {
            out.Step(event["text"].toString());
        } else if (kind == QLatin1String("note")) {
            out.Note(event["text"].toString());
        } else if (kind == QLatin1String("progress")) {
            Progress p;
            p.DoneBlocks = event["done_blocks"].toInteger();
            p.TotalBlocks = event["total_blocks"].toInteger();
            p.DoneBytes = event["done_bytes"].toInteger();
            p.TotalBytes = event["total_bytes"].toInteger();
            p.BytesPerSecond = event["bytes_per_second"].toDouble();
            p.SecondsLeft = event["seconds_left"].toDouble(-1);
            out.ShowProgress(p);
        }
    }
}

void CliGang::ChildEnded(Device& device) {
    QProcess* child = device.Child;
    if (!child) return;
    ReadEvents(device);
    device.Child = nullptr;
    child->disconnect(this);
    child->deleteLater();
    const QJsonObject result = device.ChildResult;
    const int status = result["status"].toInt(kExitLink);
    if (result.isEmpty()) {
        // Its own last words, if any, but its result line, which never came.
        QString said;
        for (const QString& line : QString::fromUtf8(child->readAllStandardError()).split('\n'))
            if (!line.isEmpty()) said = line;
        const QString how =
            child->error() == QProcess::FailedToStart
                ? QStringLiteral("не запустился: ") + child->errorString()
            : child->exitStatus() == QProcess::CrashExit
                ? QStringLiteral("завершился по сигналу %1 без результата").arg(child->exitCode())
                : QStringLiteral("завершился с кодом %1 без результата").arg(child->exitCode());
        End(device, kExitLink,
            QStringLiteral("связь с устройством потеряна: процесс ktr-cli %1%2")
                .arg(how, said.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(said)));
    } else if (!device.Naming || status != kExitDone) {
        QJsonObject extra = result;
        for (const char* known : {"event", "command", "status", "message"})
            extra.remove(QLatin1String(known));
        End(device, status, result["message"].toString(), extra);
    } else {
        device.Named = true;
    }
    if (options_.Cmd == Command::Read) StartReads();
}

// Once every device is named (when its files need the name) or ended, each named one reads
// into its files, unless two of all those files are one.
void CliGang::StartReads() {
    QList<Device*> named;
    for (const auto& device : devices_) {
        if (device->Child && device->Naming) return;
        if (device->Named && !device->Ended && !device->Child) named << device.get();
    }
    QHash<QString, QString> owners; // a file's absolute path: whose it is
    for (Device* device : named) {
        device->EepromFile = ExpandPattern(options_.EepromFile, device->Address, device->Name);
        device->AuxFile = ExpandPattern(options_.AuxFile, device->Address, device->Name);
        for (const auto& [area, file] :
             {std::pair{"EEPROM", device->EepromFile}, std::pair{"AUX", device->AuxFile}}) {
            if (file.isEmpty()) continue;
            const QString path = QDir::cleanPath(QFileInfo(file).absoluteFilePath());
            const QString owner =
                QStringLiteral("%1 %2").arg(QLatin1String(area), device->Address.Text());
            if (owners.contains(path)) {
                refusal_ = QStringLiteral("файл «%1» получился и для %2, и для %3: ничего не "
                                          "прочитано")
                               .arg(file, owners[path], owner);
                for (Device* other : named)
                    End(*other, kExitUsage, refusal_);
                return;
            }
            owners.insert(path, owner);
        }
    }
    for (Device* device : named)
        Start(*device, false);
}

void CliGang::End(Device& device, int status, const QString& message, const QJsonObject& extra) {
    if (device.Ended) return;
    device.Ended = true;
    device.Out->Result(CommandName(options_.Cmd), status, message, extra);
    if (--running_ == 0) loop_.quit();
}

// From now on no child starts; the devices that have none end at once.
void CliGang::StopAll(int status, const QString& message) {
    if (stopStatus_ != 0) return;
    stopStatus_ = status;
    stopMessage_ = message;
    for (const auto& device : devices_)
        if (!device->Child) End(*device, status, message);
}

void CliGang::Interrupt(int signal) {
    StopAll(ExitStatusOfSignal(signal), QStringLiteral("прервано"));
    for (const auto& device : devices_)
        if (device->Child && device->Child->processId() > 0)
            ::kill(pid_t(device->Child->processId()), signal);
}

} // namespace ktr::cli

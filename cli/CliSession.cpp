#include "CliSession.h"

#include "ConfiguratorHost.h"
#include "TcpBridge.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QTimer>

#include <algorithm>
#include <chrono>

namespace ktr::cli {

namespace {

const QString kStartLine = QStringLiteral("Запуск программы");

} // namespace

// One device of the command: its run, and its output, which is the program's own when the
// command has one device. The link's log and the bridge's status go into that output.
struct CliSession::Device : NullView {
    DeviceAddress Address;
    std::unique_ptr<CliOutput> Own; // several devices: this one's row
    CliOutput* Out = nullptr;
    std::unique_ptr<DeviceRun> Run;
    QString Name;
    bool ReadyToRead = false; // a read of several devices waits for every one to be named
    bool Ended = false;
    QString TcpStatus;

    void AddLog(const QString& line) override { Out->Log(line); }
    void ShowError(const QString& text) override { Out->Log(text); }
    void SetTcpStatus(const QString& text) override {
        if (text == TcpStatus) return;
        TcpStatus = text;
        Out->Note(text);
    }
};

CliSession::CliSession(UsbBackend& usb, const CliOptions& options, CliOutput& output)
    : usb_(usb), options_(options), out_(output) {}

CliSession::~CliSession() = default;

int CliSession::Run() {
    if (options_.Cmd == Command::List) {
        List();
    } else if (CheckFiles() && OpenJournal()) {
        const QList<DeviceAddress> addresses = Addresses();
        if (addresses.isEmpty()) {
            status_ = kExitLink;
            message_ = QStringLiteral("устройства 1000:6666 не найдены");
        } else {
            RunDevices(addresses);
            status_ = std::max(status_, out_.WorstDeviceStatus());
        }
    }
    out_.Result(CommandName(options_.Cmd), status_, message_, resultFields_);
    return status_;
}

// The devices to run on: the one of a one-device command (0:0 for the first found), those
// given, or with --all those attached, in bus and device order.
QList<DeviceAddress> CliSession::Addresses() {
    if (!options_.AllDevices)
        return options_.SeveralDevices() ? options_.Devices : QList{options_.OneDevice()};
    usb_.Init();
    QList<DeviceAddress> addresses;
    for (const UsbDeviceInfo& device : usb_.ListDevices())
        addresses << DeviceAddress{device.Bus, device.Device};
    return addresses;
}

bool CliSession::OpenJournal() {
    QString error;
    if (options_.JournalFile.isEmpty() || journal_.Open(options_.JournalFile, &error)) return true;
    status_ = kExitJournal;
    message_ = error;
    return false;
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
    if (devices.empty()) {
        status_ = kExitLink;
        message_ = QStringLiteral("устройства 1000:6666 не найдены");
    }
}

// Whatever can be refused before a device is asked is refused at once.
bool CliSession::CheckFiles() {
    const bool images = options_.Cmd == Command::Write || options_.Cmd == Command::Verify;
    const bool reading = options_.Cmd == Command::Read;
    for (const auto& [memory, path] :
         {std::pair{Memory::Flash, images ? options_.FlashFile : QString()},
          std::pair{Memory::Eeprom, options_.EepromFile},
          std::pair{Memory::Aux, reading ? options_.AuxFile : QString()}}) {
        if (path.isEmpty() || !(images || reading)) continue;
        // Several devices read into files named after each: the pattern is checked later.
        if (reading && options_.SeveralDevices()) continue;
        const std::optional<QString> problem =
            reading ? OutputFileProblem(path) : ImageFileProblem(memory, path, options_.Format);
        if (problem) {
            const Verdict refused = FileRefused(memory, path, *problem);
            status_ = refused.Status;
            message_ = refused.Message;
            return false;
        }
    }
    if (!images) return true;
    for (const auto& [memory, path] : {std::pair{Memory::Flash, options_.FlashFile},
                                       std::pair{Memory::Eeprom, options_.EepromFile}}) {
        QString error;
        if (path.isEmpty() || options_.JournalFile.isEmpty()) continue;
        if (std::optional<JournalImage> image =
                JournalImageFromFile(memory, path, options_.Format, &error))
            images_.push_back(*image);
    }
    return true;
}

void CliSession::RunDevices(const QList<DeviceAddress>& addresses) {
    const bool bridging = options_.Cmd == Command::Bridge;
    for (const DeviceAddress& address : addresses) {
        auto& device = *devices_.emplace_back(std::make_unique<Device>());
        device.Address = address;
        device.Out = &out_;
        if (options_.SeveralDevices()) {
            device.Own = std::make_unique<CliOutput>(out_, address.Text());
            device.Out = device.Own.get();
        }
        device.Run = std::make_unique<DeviceRun>(
            usb_, DeviceRunSetup{address.Bus, address.Device, options_.Timings,
                                 bridging ? 0 : options_.LinkTimeoutS, options_.Format,
                                 CommandName(options_.Cmd), images_, &device, !bridging});
        Bind(device);
    }
    LinkControl& first = devices_.front()->Run->Link();
    auto host = std::make_unique<ConfiguratorHost>(first, *devices_.front());
    // Only configure needs the kind's library loaded on every adoption.
    if (options_.Cmd == Command::Configure) first.SetDeviceKindHook(host.get());
    std::unique_ptr<TcpBridge> bridge;
    if (bridging) bridge = std::make_unique<TcpBridge>(first, *devices_.front());
    host_ = host.get();
    bridge_ = bridge.get();

    QTimer timeout;
    timeout.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, this, &CliSession::TimedOut);
    if (!bridging || options_.TimeoutSet) timeout.start(std::chrono::seconds(options_.TimeoutS));
    for (const auto& device : devices_) {
        device->AddLog(kStartLine);
        if (bridging) StartBridge(*device);
        if (!device->Run->IsFinished()) device->Run->Connect();
    }
    if (!AllEnded()) loop_.exec();
    // Each link closed first, as the window does when it closes; the bridge and the host go
    // before the link they use.
    for (const auto& device : devices_)
        device->Run->Link().CloseLink();
    bridge.reset();
    host.reset();
    bridge_ = nullptr;
    host_ = nullptr;
    for (const auto& device : devices_)
        device->Run.reset();
}

void CliSession::Bind(Device& device) {
    CliOutput& out = *device.Out;
    DeviceRun& run = *device.Run;
    DeviceSession& session = run.Session();
    connect(&session, &DeviceSession::Opened, this, [&out](int bus, int number) {
        out.Step(QStringLiteral("устройство %1:%2 открыто").arg(bus).arg(number));
    });
    connect(&session, &DeviceSession::Identified, this, [&device](const QString& name) {
        device.Name = name;
        device.Out->SetDeviceName(name);
        device.Out->Step(QStringLiteral("устройство: %1").arg(name));
    });
    // The bridge runs on as the window does: another device may come.
    if (options_.Cmd == Command::Bridge)
        connect(&session, &DeviceSession::NotServed, this, [&out](uint32_t kind) {
            out.Step(QStringLiteral("устройство ответило как тип %1, который эта программа не "
                                    "обслуживает")
                         .arg(kind));
        });
    connect(&session, &DeviceSession::Ready, this,
            [this, &device](const DeviceInfo& info) { Ready(device, info); });
    connect(&run, &DeviceRun::Accepted, this, [this, &out](const JobAccepted& part) {
        const QString memory = MemoryName(part.Target);
        if (options_.Cmd == Command::Read)
            return out.Step(QStringLiteral("чтение %1: %2 байт").arg(memory).arg(part.ImageBytes));
        out.Step(QStringLiteral("%1 «%2»: %3 байт, %4 блоков к %5")
                     .arg(memory, part.Path)
                     .arg(part.ImageBytes)
                     .arg(part.Blocks)
                     .arg(part.Write ? QStringLiteral("записи и проверке")
                                     : QStringLiteral("проверке")));
    });
    connect(&run, &DeviceRun::Started, this, [&out](const JobProgress& p) { out.ShowProgress(p); });
    connect(&run, &DeviceRun::Progress, this,
            [&out](const JobProgress& p) { out.ShowProgress(p); });
    connect(&run, &DeviceRun::Finished, this,
            [this, &device](const Verdict& verdict, const JournalRecord& record) {
                Ended(device, verdict, record);
            });
}

// The device is identified and its sizes are in: the command proper begins.
void CliSession::Ready(Device& device, const DeviceInfo& info) {
    std::vector<ImageFile> images;
    for (const auto& [memory, path] : {std::pair{Memory::Flash, options_.FlashFile},
                                       std::pair{Memory::Eeprom, options_.EepromFile}})
        if (!path.isEmpty()) images.push_back({memory, path});
    switch (options_.Cmd) {
    case Command::Info: {
        const DeviceKindInfo* kind = FindDeviceKind(info.Kind);
        const QString kindName = kind ? QString::fromUtf8(kind->Item) : QString();
        device.Out->Data(QStringLiteral("info"),
                         QStringLiteral("Устройство: %1\nТип: %2 (%3)\nFLASH: %4 байт\n"
                                        "EEPROM: %5 байт\nAUX: %6 байт\nАдрес: %7:%8")
                             .arg(info.Name)
                             .arg(info.Kind)
                             .arg(kindName)
                             .arg(info.FlashSize)
                             .arg(info.EepromSize)
                             .arg(info.AuxSize)
                             .arg(info.Bus)
                             .arg(info.Device),
                         {{QStringLiteral("name"), info.Name},
                          {QStringLiteral("kind"), int(info.Kind)},
                          {QStringLiteral("kind_name"), kindName},
                          {QStringLiteral("flash_size"), qint64(info.FlashSize)},
                          {QStringLiteral("eeprom_size"), qint64(info.EepromSize)},
                          {QStringLiteral("aux_size"), qint64(info.AuxSize)},
                          {QStringLiteral("bus"), info.Bus},
                          {QStringLiteral("device"), info.Device}});
        return device.Run->End({});
    }
    case Command::Write:
        return device.Run->Write(std::move(images));
    case Command::Verify:
        return device.Run->Verify(std::move(images));
    case Command::Read:
        device.ReadyToRead = true;
        return StartReads();
    case Command::Configure:
        return StartConfigure(device);
    default:
        return;
    }
}

// Once every device is ready or ended, each ready one reads into its files, unless two of all
// those files are one; one device reads into the files as named.
void CliSession::StartReads() {
    QList<Device*> ready;
    for (const auto& device : devices_) {
        if (!device->ReadyToRead && !device->Ended) return;
        if (device->ReadyToRead && !device->Ended) ready << device.get();
    }
    const bool several = options_.SeveralDevices();
    QHash<QString, QString> owners; // a file's absolute path: whose it is
    std::vector<std::vector<ReadArea>> reads;
    for (Device* device : ready) {
        device->ReadyToRead = false;
        std::vector<ReadArea>& areas = reads.emplace_back();
        for (const auto& [memory, pattern] : {std::pair{Memory::Eeprom, options_.EepromFile},
                                              std::pair{Memory::Aux, options_.AuxFile}}) {
            if (pattern.isEmpty()) continue;
            const QString file = several ? ReadFilePath(pattern, device->Address.Bus,
                                                        device->Address.Device, device->Name)
                                         : pattern;
            areas.push_back({memory, file});
            if (!several) continue;
            const QString path = QDir::cleanPath(QFileInfo(file).absoluteFilePath());
            const QString owner =
                QStringLiteral("%1 %2").arg(MemoryName(memory), device->Address.Text());
            if (owners.contains(path)) {
                message_ = QStringLiteral("файл «%1» получился и для %2, и для %3: ничего не "
                                          "прочитано")
                               .arg(file, owners[path], owner);
                status_ = kExitUsage;
                for (Device* other : ready)
                    other->Run->End({kExitUsage, message_, {}});
                return;
            }
            if (std::optional<QString> problem = OutputFileProblem(file)) {
                device->Run->End(FileRefused(memory, file, *problem));
                areas.clear();
                break;
            }
            owners.insert(path, owner);
        }
    }
    for (qsizetype i = 0; i < ready.size(); ++i)
        if (!reads[size_t(i)].empty()) ready[i]->Run->Read(std::move(reads[size_t(i)]));
}

void CliSession::Ended(Device& device, Verdict verdict, const JournalRecord& record) {
    if (device.Ended) return;
    device.Ended = true;
    QString error;
    if (journal_.IsOpen() && journal_.Append(record, &error) == 0) {
        verdict.Status = kExitJournal;
        verdict.Message = error + QStringLiteral("; ") + verdict.Message;
    }
    QJsonObject fields;
    if (!verdict.Partial.isEmpty()) fields = {{QStringLiteral("partial"), verdict.Partial}};
    if (device.Own) {
        device.Own->Result(CommandName(options_.Cmd), verdict.Status, verdict.Message, fields);
    } else {
        status_ = verdict.Status;
        message_ = verdict.Message;
        resultFields_ = fields;
    }
    // The rest of a read of several devices may have waited for this one.
    if (options_.Cmd == Command::Read) QTimer::singleShot(0, this, &CliSession::StartReads);
    if (AllEnded()) loop_.quit();
}

bool CliSession::AllEnded() const {
    return std::all_of(devices_.begin(), devices_.end(),
                       [](const auto& device) { return device->Ended; });
}

void CliSession::EndAll(int status, const QString& message) {
    for (const auto& device : devices_)
        if (device->Run) device->Run->End({status, message, {}});
}

void CliSession::Interrupt() {
    if (options_.Cmd == Command::Bridge)
        EndAll(kExitDone, QStringLiteral("мост закрыт"));
    else
        EndAll(ExitStatusOfSignal(options_.InterruptSignal), QStringLiteral("прервано"));
}

void CliSession::TimedOut() {
    if (options_.Cmd == Command::Bridge)
        EndAll(kExitDone, QStringLiteral("мост закрыт: время истекло"));
    else
        EndAll(kExitLink, QStringLiteral("истекло время ожидания (%1 с)").arg(options_.TimeoutS));
}

void CliSession::StartConfigure(Device& device) {
    DeviceRun& run = *device.Run;
    if (!host_->EntryFound()) {
        const DeviceKindInfo* info = FindDeviceKind(KindOfSignature(run.Link().LinkSignature()));
        const QString name = info ? ConfiguratorHost::LibraryFileName(QLatin1String(info->Library))
                                  : QStringLiteral("?");
        return run.End(
            {kExitFile, QStringLiteral("библиотека конфигуратора %1 не загружена").arg(name), {}});
    }
    host_->RunConfiguratorToEnd([&run] {
        run.End({kExitDone, QStringLiteral("конфигуратор завершил работу"), {}});
    });
}

// Listens before the link is up, as the window does from its start.
void CliSession::StartBridge(Device& device) {
    try {
        bridge_->TcpServerOpen(QString::number(options_.TcpPort));
    } catch (const TcpServerError& error) {
        return device.Run->End(
            {kExitUsage,
             QStringLiteral("порт TCP %1 не открывается: %2")
                 .arg(options_.TcpPort)
                 .arg(QString(error.Text).replace(QLatin1String("\r\n"), QLatin1String(": "))),
             {}});
    }
    const int port = bridge_->ListeningPort();
    device.Out->Data(
        QStringLiteral("listening"), QStringLiteral("Мост TCP: 127.0.0.1:%1").arg(port),
        {{QStringLiteral("address"), QStringLiteral("127.0.0.1")}, {QStringLiteral("port"), port}});
}

} // namespace ktr::cli

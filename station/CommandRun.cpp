#include "CommandRun.h"

#include "ConfiguratorHost.h"
#include "TcpBridge.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace ktr {

// One device of the command: its run, its view of the link's log and the bridge's status.
struct CommandRun::Device : NullView {
    CommandRun* Owner = nullptr;
    int Index = 0;
    CommandDevice& State;
    std::unique_ptr<DeviceRun> Run;
    bool ReadyToRead = false; // a read of several devices waits for every one to be named
    QString TcpStatus;

    Device(CommandRun* owner, int index)
        : Owner(owner), Index(index), State(owner->states_[size_t(index)]) {}
    bool Ended() const { return State.Result.has_value(); }

    void AddLog(const QString& line) override { emit Owner->Log(Index, line); }
    void ShowError(const QString& text) override { emit Owner->Log(Index, text); }
    void SetTcpStatus(const QString& text) override {
        if (text == TcpStatus) return;
        TcpStatus = text;
        emit Owner->Note(Index, text);
    }
};

namespace {

QString AbsolutePath(const QString& file) {
    return QDir::cleanPath(QFileInfo(file).absoluteFilePath());
}

// Whether a pattern names each device's files apart.
bool Distinct(const QString& pattern) {
    return pattern.contains(QLatin1String("{name}")) ||
           (pattern.contains(QLatin1String("{bus}")) && pattern.contains(QLatin1String("{dev}")));
}

} // namespace

QString CommandDevice::Outcome() const {
    if (!Result) return {};
    return Result->Message.isEmpty() && Result->Status == kExitDone ? QStringLiteral("готово")
                                                                    : Result->Message;
}

QJsonObject CommandDevice::ToJson(const QString& command) const {
    QJsonObject fields{{"bus_dev", Address.Text()}, {"name", Name},
                       {"command", command},        {"status", Result ? Result->Status : -1},
                       {"message", Outcome()},      {"seconds", std::round(Seconds * 10) / 10}};
    if (Result && !Result->Partial.isEmpty()) fields.insert("partial", Result->Partial);
    return fields;
}

QString DevicesProgressText(const std::vector<CommandDevice>& devices, int width) {
    QStringList entries;
    int64_t sum = 0;
    int done = 0, failed = 0;
    for (const CommandDevice& device : devices) {
        const int status = device.Result ? device.Result->Status : -1;
        const QString state = status < 0    ? QStringLiteral("%1%").arg(device.Percent)
                              : status == 0 ? QStringLiteral("готово")
                                            : QStringLiteral("сбой");
        entries << device.Address.Text() + QLatin1Char(' ') + state;
        sum += status < 0 ? device.Percent : 100;
        done += status == 0;
        failed += status > 0;
    }
    const QString all = entries.join(QStringLiteral("  "));
    if (all.size() <= width) return all;
    const qsizetype count = qsizetype(devices.size());
    const int64_t overall = count == 0 ? 100 : sum / count;
    const QString summary = QStringLiteral("%1%, устройств %2: готово %3, сбой %4")
                                .arg(overall)
                                .arg(count)
                                .arg(done)
                                .arg(failed);
    if (summary.size() <= width) return summary;
    return QStringLiteral("%1% %2/%3").arg(overall).arg(done + failed).arg(count).left(width);
}

QStringList FailedDevices(const std::vector<CommandDevice>& devices) {
    QStringList failed;
    for (const CommandDevice& device : devices)
        if (!device.Result || device.Result->Status != kExitDone) failed << device.Address.Text();
    return failed;
}

Verdict NoDevicesFound() {
    return {kExitLink, QStringLiteral("устройства 1000:6666 не найдены"), {}};
}

CommandRun::CommandRun(UsbBackend& usb, DeviceTask task, const QString& command, CommandSetup setup)
    : usb_(usb), task_(task), command_(command), setup_(std::move(setup)) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        EndAll(task_ == DeviceTask::Bridge
                   ? Verdict{kExitDone, QStringLiteral("мост закрыт: время истекло"), {}}
                   : TimedOut(setup_.TimeoutS));
    });
}

CommandRun::~CommandRun() {
    Close();
}

Verdict CommandRun::Prepare() {
    QString error;
    if (!CheckFiles()) return verdict_;
    if (!setup_.JournalFile.isEmpty() && !journal_.Open(setup_.JournalFile, &error))
        return {kExitJournal, error, {}};
    QList<DeviceAddress> addresses =
        setup_.SeveralDevices() ? setup_.Devices : QList{setup_.OneDevice()};
    if (setup_.AllDevices) {
        usb_.Init();
        for (const UsbDeviceInfo& device : usb_.ListDevices())
            addresses << DeviceAddress{device.Bus, device.Device};
    }
    for (const DeviceAddress& address : addresses)
        states_.push_back({address});
    return states_.empty() ? NoDevicesFound() : Verdict{};
}

// Whatever can be refused before a device is asked is refused at once.
bool CommandRun::CheckFiles() {
    const bool images = task_ == DeviceTask::Write || task_ == DeviceTask::Verify;
    const bool reading = task_ == DeviceTask::Read;
    const QString& eeprom = setup_.EepromFile;
    const QString& aux = setup_.AuxFile;
    // The second area would overwrite the first one's backup.
    if (reading && !eeprom.isEmpty() && !aux.isEmpty() && AbsolutePath(eeprom) == AbsolutePath(aux))
        verdict_ = {kExitUsage,
                    QStringLiteral("EEPROM и AUX нельзя прочитать в один файл «%1»").arg(eeprom),
                    {}};
    for (const QString& path : {eeprom, aux})
        if (reading && setup_.SeveralDevices() && !path.isEmpty() && !Distinct(path))
            verdict_ = {kExitUsage,
                        QStringLiteral("для нескольких устройств путь «%1» должен содержать "
                                       "{bus} и {dev} или {name}")
                            .arg(path),
                        {}};
    if (verdict_.Status != kExitDone) return false;
    for (const auto& [memory, path] :
         {std::pair{Memory::Flash, images ? setup_.FlashFile : QString()},
          std::pair{Memory::Eeprom, setup_.EepromFile},
          std::pair{Memory::Aux, reading ? setup_.AuxFile : QString()}}) {
        if (path.isEmpty() || !(images || reading)) continue;
        // Several devices read into files named after each: the pattern is checked later.
        if (reading && setup_.SeveralDevices()) continue;
        const std::optional<QString> problem =
            reading ? OutputFileProblem(path) : ImageFileProblem(memory, path, setup_.Format);
        if (problem) {
            verdict_ = FileRefused(memory, path, *problem);
            return false;
        }
    }
    if (!images) return true;
    for (const auto& [memory, path] : {std::pair{Memory::Flash, setup_.FlashFile},
                                       std::pair{Memory::Eeprom, setup_.EepromFile}}) {
        QString error;
        if (path.isEmpty() || setup_.JournalFile.isEmpty()) continue;
        if (std::optional<JournalImage> image =
                JournalImageFromFile(memory, path, setup_.Format, &error))
            images_.push_back(*image);
    }
    return true;
}

void CommandRun::Start() {
    const bool bridging = task_ == DeviceTask::Bridge;
    clock_.start();
    for (const CommandDevice& state : states_) {
        auto& device = *devices_.emplace_back(std::make_unique<Device>(this, int(devices_.size())));
        const DeviceAddress& address = state.Address;
        device.Run = std::make_unique<DeviceRun>(
            usb_, DeviceRunSetup{address.Bus, address.Device, setup_.Timings,
                                 bridging ? 0 : setup_.LinkTimeoutS, setup_.Format, command_,
                                 images_, &device, !bridging});
        Bind(device.Index);
    }
    LinkControl& first = devices_.front()->Run->Link();
    host_ = std::make_unique<ConfiguratorHost>(first, *devices_.front());
    // Only configure needs the kind's library loaded on every adoption.
    if (task_ == DeviceTask::Configure) first.SetDeviceKindHook(host_.get());
    if (bridging) bridge_ = std::make_unique<TcpBridge>(first, *devices_.front());
    if (!bridging || setup_.TimeoutSet) deadline_.start(std::chrono::seconds(setup_.TimeoutS));
    for (const auto& device : devices_) {
        device->AddLog(QStringLiteral("Запуск программы"));
        if (bridging) StartBridge(device->Index);
        if (!device->Run->IsFinished()) device->Run->Connect();
    }
}

void CommandRun::Bind(int index) {
    Device& device = *devices_[size_t(index)];
    DeviceRun& run = *device.Run;
    DeviceSession& session = run.Session();
    connect(&session, &DeviceSession::Opened, this, [this, index](int bus, int number) {
        emit Step(index, QStringLiteral("устройство %1:%2 открыто").arg(bus).arg(number));
    });
    connect(&session, &DeviceSession::Identified, this, [this, &device](const QString& name) {
        device.State.Name = name;
        emit Step(device.Index, QStringLiteral("устройство: %1").arg(name));
    });
    // The bridge runs on as the window does: another device may come.
    if (task_ == DeviceTask::Bridge)
        connect(&session, &DeviceSession::NotServed, this, [this, index](uint32_t kind) {
            emit Step(index, QStringLiteral("устройство ответило как тип %1, который эта "
                                            "программа не обслуживает")
                                 .arg(kind));
        });
    connect(&session, &DeviceSession::Ready, this,
            [this, &device](const DeviceInfo& info) { Ready(device, info); });
    connect(&run, &DeviceRun::Accepted, this, [this, index](const JobAccepted& part) {
        const QString memory = MemoryName(part.Target);
        if (task_ == DeviceTask::Read)
            return emit Step(index,
                             QStringLiteral("чтение %1: %2 байт").arg(memory).arg(part.ImageBytes));
        emit Step(index, QStringLiteral("%1 «%2»: %3 байт, %4 блоков к %5")
                             .arg(memory, part.Path)
                             .arg(part.ImageBytes)
                             .arg(part.Blocks)
                             .arg(part.Write ? QStringLiteral("записи и проверке")
                                             : QStringLiteral("проверке")));
    });
    for (auto announce : {&DeviceRun::Started, &DeviceRun::Progress})
        connect(&run, announce, this, [this, &device](const JobProgress& p) {
            device.State.Percent = p.Percent();
            emit Progress(device.Index, p);
        });
    connect(&run, &DeviceRun::Finished, this,
            [this, index](const Verdict& verdict, const JournalRecord& record) {
                Ended(index, verdict, record);
            });
}

// The device is identified and its sizes are in: the command proper begins.
void CommandRun::Ready(Device& device, const DeviceInfo& info) {
    std::vector<ImageFile> images;
    for (const auto& [memory, path] :
         {std::pair{Memory::Flash, setup_.FlashFile}, std::pair{Memory::Eeprom, setup_.EepromFile}})
        if (!path.isEmpty()) images.push_back({memory, path});
    switch (task_) {
    case DeviceTask::Info:
        emit Info(device.Index, info);
        return device.Run->End({});
    case DeviceTask::Write:
        return device.Run->Write(std::move(images));
    case DeviceTask::Verify:
        return device.Run->Verify(std::move(images));
    case DeviceTask::Read:
        device.ReadyToRead = true;
        return StartReads();
    case DeviceTask::Configure:
        return StartConfigure(device);
    case DeviceTask::Bridge:
        return;
    }
}

// Once every device is ready or ended, each ready one reads into its files, unless two of all
// those files are one; one device reads into the files as named.
void CommandRun::StartReads() {
    QList<Device*> ready;
    for (const auto& device : devices_) {
        if (!device->ReadyToRead && !device->Ended()) return;
        if (device->ReadyToRead && !device->Ended()) ready << device.get();
    }
    const bool several = setup_.SeveralDevices();
    QHash<QString, QString> owners; // a file's absolute path: whose it is
    std::vector<std::vector<ReadArea>> reads;
    for (Device* device : ready) {
        device->ReadyToRead = false;
        std::vector<ReadArea>& areas = reads.emplace_back();
        for (const auto& [memory, pattern] : {std::pair{Memory::Eeprom, setup_.EepromFile},
                                              std::pair{Memory::Aux, setup_.AuxFile}}) {
            if (pattern.isEmpty()) continue;
            const DeviceAddress& address = device->State.Address;
            const QString file =
                several ? ReadFilePath(pattern, address.Bus, address.Device, device->State.Name)
                        : pattern;
            areas.push_back({memory, file});
            if (!several) continue;
            const QString path = AbsolutePath(file);
            const QString owner = QStringLiteral("%1 %2").arg(MemoryName(memory), address.Text());
            if (owners.contains(path)) {
                verdict_ = {kExitUsage,
                            QStringLiteral("файл «%1» получился и для %2, и для %3: ничего не "
                                           "прочитано")
                                .arg(file, owners[path], owner),
                            {}};
                for (Device* other : ready)
                    other->Run->End({kExitUsage, verdict_.Message, {}});
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

void CommandRun::Ended(int index, Verdict verdict, const JournalRecord& record) {
    Device& device = *devices_[size_t(index)];
    if (device.Ended()) return;
    QString error;
    if (journal_.IsOpen() && journal_.Append(record, &error) == 0) {
        verdict.Status = kExitJournal;
        verdict.Message = error + QStringLiteral("; ") + verdict.Message;
    }
    device.State.Seconds = double(clock_.nsecsElapsed()) / 1e9;
    device.State.Result = verdict;
    emit DeviceFinished(index);
    if (!setup_.SeveralDevices()) verdict_ = verdict;
    verdict_.Status = std::max(verdict_.Status, verdict.Status);
    // The rest of a read of several devices may have waited for this one.
    if (task_ == DeviceTask::Read) QTimer::singleShot(0, this, &CommandRun::StartReads);
    if (!std::all_of(devices_.begin(), devices_.end(), [](const auto& d) { return d->Ended(); }))
        return;
    deadline_.stop();
    if (setup_.SeveralDevices() && verdict_.Message.isEmpty()) verdict_.Message = Summary();
    // Announced once the run that called in here has returned.
    QTimer::singleShot(0, this, [this] {
        Close();
        emit Finished(verdict_);
    });
}

// "выполнено на всех устройствах (3)", or which failed.
QString CommandRun::Summary() const {
    const QStringList failed = FailedDevices(states_);
    if (failed.isEmpty())
        return QStringLiteral("выполнено на всех устройствах (%1)").arg(states_.size());
    return QStringLiteral("не выполнено на %1 из %2 устройств: %3")
        .arg(failed.size())
        .arg(states_.size())
        .arg(failed.join(QStringLiteral(", ")));
}

void CommandRun::EndAll(const Verdict& verdict) {
    for (const auto& device : devices_)
        device->Run->End(verdict);
}

void CommandRun::Interrupt(int status) {
    EndAll(task_ == DeviceTask::Bridge ? Verdict{kExitDone, QStringLiteral("мост закрыт"), {}}
                                       : Interrupted(status));
}

// Each link closed first, as the window does when it closes; the bridge and the host go
// before the link they use.
void CommandRun::Close() {
    for (const auto& device : devices_)
        device->Run->Link().CloseLink();
    bridge_.reset();
    host_.reset();
    devices_.clear();
}

void CommandRun::StartConfigure(Device& device) {
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
void CommandRun::StartBridge(int index) {
    try {
        bridge_->TcpServerOpen(QString::number(setup_.TcpPort));
    } catch (const TcpServerError& error) {
        return devices_[size_t(index)]->Run->End(
            {kExitUsage,
             QStringLiteral("порт TCP %1 не открывается: %2")
                 .arg(setup_.TcpPort)
                 .arg(QString(error.Text).replace(QLatin1String("\r\n"), QLatin1String(": "))),
             {}});
    }
    emit Listening(index, bridge_->ListeningPort());
}

} // namespace ktr

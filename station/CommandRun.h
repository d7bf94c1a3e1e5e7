// One command of the command line run to its outcome on one device or several side by side,
// each over its own link on one thread: the files checked before any device is asked, the
// job (or the configurator, or the TCP bridge) begun once its device is ready, each device's
// attempt journalled, and every device ended on an interrupt or the deadline. What it does is
// announced per device, by its index in Devices().
#pragma once

#include "DeviceRun.h"
#include "Journal.h"
#include "TcpBridge.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

namespace ktr {

class ConfiguratorHost;

enum class DeviceTask { Info, Write, Verify, Read, Bridge, Configure };

// BUS:DEV in decimal; 0:0 stands for the first device found.
struct DeviceAddress {
    int Bus = 0, Device = 0;
    QString Text() const { return QStringLiteral("%1:%2").arg(Bus).arg(Device); }
    bool operator==(const DeviceAddress&) const = default;
};

// Long enough for a 16 MiB image written and verified over a real link.
constexpr int kDefaultTimeoutS = 3600;
// A link that has not come back for this long is given up on.
constexpr int kDefaultLinkTimeoutS = 30;

struct CommandSetup {
    QList<DeviceAddress> Devices; // in the order given; empty: see AllDevices
    bool AllDevices = false;      // every attached device
    // Images of write and verify; the files a read fills (patterns for several devices).
    QString FlashFile, EepromFile, AuxFile;
    JobRules::Format Format = JobRules::Format::ByExtension;
    int TcpPort = kDefaultTcpPort;
    int TimeoutS = kDefaultTimeoutS;
    bool TimeoutSet = false; // the bridge runs until interrupted unless a timeout is given
    int LinkTimeoutS = kDefaultLinkTimeoutS;
    QString JournalFile; // a record per device; empty: none
    LinkTimings Timings;

    // The device of a one-device run: the one given, or 0:0 for the first found.
    DeviceAddress OneDevice() const { return Devices.value(0); }
    bool SeveralDevices() const { return AllDevices || Devices.size() > 1; }
};

// One device of a command as it stands.
struct CommandDevice {
    DeviceAddress Address;
    QString Name;                  // once identified
    int64_t Percent = 0;           // of its job
    std::optional<Verdict> Result; // once it has ended
    double Seconds = 0;            // from the command's start to its end

    // What it ended with: "готово" for a done without words; empty until it has ended.
    QString Outcome() const;
    // Its row of a result, or its "device_result" event: address, name, the command, status,
    // message, seconds and what a failed write left on it.
    QJsonObject ToJson(const QString& command) const;
};

// Every device's share on one line of at most width columns ("1:2 40%  1:3 готово"); a
// summary when they do not fit.
QString DevicesProgressText(const std::vector<CommandDevice>& devices, int width);

// The addresses of the devices that have not ended done, in order.
QStringList FailedDevices(const std::vector<CommandDevice>& devices);

// "устройства 1000:6666 не найдены"
Verdict NoDevicesFound();

class CommandRun : public QObject {
    Q_OBJECT
public:
    // command: the name records and results carry ("write").
    CommandRun(UsbBackend& usb, DeviceTask task, const QString& command, CommandSetup setup);
    ~CommandRun() override;

    // What can be refused before any device is asked (a file, the journal, no device at all):
    // a verdict other than done ends the command there. Then Devices() are known.
    Verdict Prepare();
    const std::vector<CommandDevice>& Devices() const { return states_; }
    // Connects every device; Finished follows.
    void Start();
    // Every device ended: the bridge is closed (0), any other command ends with status.
    void Interrupt(int status);

signals:
    void Log(int device, const QString& line);          // a line of the window's log
    void Note(int device, const QString& text);         // the bridge's client count
    void Step(int device, const QString& text);         // what the command does now
    void Info(int device, const ktr::DeviceInfo& info); // info: the device identified
    void Listening(int device, int port);               // bridge: the server is up
    void Progress(int device, const ktr::JobProgress& progress);
    void DeviceFinished(int device); // its Result is in
    // Once every device has finished. One device: its verdict. Several: the worst status, and
    // the command's own message (a read's files clash) or which devices failed.
    void Finished(const ktr::Verdict& verdict);

private:
    struct Device;

    bool CheckFiles();
    void Bind(int index);
    void Ready(Device& device, const DeviceInfo& info);
    void StartReads();
    void Ended(int index, Verdict verdict, const JournalRecord& record);
    QString Summary() const;
    void EndAll(const Verdict& verdict);
    void StartBridge(int index);
    void StartConfigure(Device& device);
    void Close();

    UsbBackend& usb_;
    const DeviceTask task_;
    const QString command_;
    const CommandSetup setup_;
    std::vector<CommandDevice> states_;
    QElapsedTimer clock_; // since Start
    Verdict verdict_;     // the command's own, beside its devices'
    std::vector<JournalImage> images_;
    Journal journal_; // open before any device is asked
    std::vector<std::unique_ptr<Device>> devices_;
    std::unique_ptr<ConfiguratorHost> host_; // configure
    std::unique_ptr<TcpBridge> bridge_;      // bridge
    QTimer deadline_;
};

} // namespace ktr

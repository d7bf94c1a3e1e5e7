// One ktr-cli command run to its outcome on the same core as the window: a device run per
// device brings it up and runs the core's job, configurator host or TCP bridge, and this
// prints what they announce. Several devices run side by side, each over its own link, on
// one thread. Runs on any UsbBackend, so tests drive it in-process on the simulated bus.
#pragma once

#include "CliOptions.h"
#include "CliOutput.h"
#include "DeviceRun.h"

#include <QEventLoop>
#include <QJsonObject>
#include <QObject>

#include <memory>
#include <vector>

namespace ktr {
class ConfiguratorHost;
class TcpBridge;
} // namespace ktr

namespace ktr::cli {

class CliSession : public QObject {
    Q_OBJECT
public:
    CliSession(UsbBackend& usb, const CliOptions& options, CliOutput& output);
    ~CliSession() override;

    // Runs the command until its outcome is known (needs a QCoreApplication) and returns the
    // exit status, the highest of the devices' when there are several; the result has been
    // printed by then.
    int Run();
    // A signal (options.InterruptSignal) or the --timeout: every link is closed cleanly;
    // bridge ends with 0, any other command with 128 + the signal (kExitLink for the timeout).
    void Interrupt();
    void TimedOut();

private:
    struct Device;

    void List();
    bool CheckFiles();
    bool OpenJournal();
    QList<DeviceAddress> Addresses();
    void RunDevices(const QList<DeviceAddress>& addresses);
    void Bind(Device& device);
    void Ready(Device& device, const DeviceInfo& info);
    void StartReads();
    void Ended(Device& device, Verdict verdict, const JournalRecord& record);
    bool AllEnded() const;
    void EndAll(int status, const QString& message);
    void StartBridge(Device& device);
    void StartConfigure(Device& device);

    UsbBackend& usb_;
    const CliOptions& options_;
    CliOutput& out_;
    QEventLoop loop_;
    int status_ = kExitDone;
    QString message_;
    QJsonObject resultFields_;
    std::vector<std::unique_ptr<Device>> devices_;
    Journal journal_; // --journal, open before any device is asked
    std::vector<JournalImage> images_;
    ConfiguratorHost* host_ = nullptr; // configure, while it runs
    TcpBridge* bridge_ = nullptr;      // bridge, while it runs
};

} // namespace ktr::cli

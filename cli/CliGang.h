// ktr-cli over several devices: one child process per device, each running the user's own
// command line with its device, its events read back and shown through that device's CliOutput.
//
// Processes rather than threads: libusb 0.1 keeps global bus lists and is not thread-safe, a
// transfer blocks its thread for up to 5 s, and a crash or hang in one device's process cannot
// touch the others. Each device runs exactly the command that runs alone.
#pragma once

#include "CliOptions.h"
#include "CliOutput.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class QProcess;

namespace ktr::cli {

class CliGang : public QObject {
    Q_OBJECT
public:
    // program: the ktr-cli started once per device (this program's own file). options: a
    // write, verify, read or info with SeveralDevices(). output: the program's output. usb
    // lists the devices for --all. All must outlive the gang.
    CliGang(const QString& program, const CliOptions& options, CliOutput& output, UsbBackend& usb);
    ~CliGang() override;

    // Lists the devices once (with --all; devices attached later are not picked up), runs the
    // command on every device in a child of its own, all at once, then prints the table and
    // the result. Needs a QCoreApplication. Returns the highest of the devices' statuses; with
    // --all and no device found, kExitLink. Each device's name comes from its own child's events;
    // a read whose files are named after the devices is preceded by an info child per device,
    // and starts only once every device is named. A read is refused with kExitUsage, nothing
    // read, when two files would be the same.
    int Run();
    // A signal received (SIGINT, SIGTERM, SIGHUP): passed on to every child, which ends its
    // command cleanly and reports; devices without a child end with 128 + signal.
    void Interrupt(int signal);

private:
    struct Device;

    QList<DeviceAddress> ListDevices();
    void Start(Device& device, bool naming);
    void ReadEvents(Device& device);
    void ChildEnded(Device& device);
    void StartReads();
    // extra: the child's result fields beyond status and message (what a write left).
    void End(Device& device, int status, const QString& message, const QJsonObject& extra = {});
    void StopAll(int status, const QString& message);

    const QString program_;
    const CliOptions& options_;
    CliOutput& out_;
    UsbBackend& usb_;
    std::vector<std::unique_ptr<Device>> devices_;
    QEventLoop loop_;
    QTimer guard_; // the children's own --timeout has failed to end them
    QElapsedTimer clock_;
    int running_ = 0;    // devices not yet ended
    int stopStatus_ = 0; // once non-zero, no child is started and devices without one end so
    QString stopMessage_;
    QString refusal_; // why the command was refused as a whole; empty: it was not
};

} // namespace ktr::cli

#include "CliSession.h"

#include <QEventLoop>

namespace ktr::cli {

namespace {

Verdict List(UsbBackend& usb, CliOutput& out) {
    usb.Init();
    const std::vector<UsbDeviceInfo> devices = usb.ListDevices();
    for (const UsbDeviceInfo& device : devices) {
        const QString address = DeviceAddress{device.Bus, device.Device}.Text();
        out.Data(QStringLiteral("device"),
                 device.Accessible ? address : address + QStringLiteral(" (нет доступа)"),
                 {{QStringLiteral("bus"), device.Bus},
                  {QStringLiteral("device"), device.Device},
                  {QStringLiteral("port"), QString::fromStdString(device.PortPath)},
                  {QStringLiteral("accessible"), device.Accessible}});
    }
    return devices.empty() ? NoDevicesFound() : Verdict{};
}

} // namespace

int RunCommand(UsbBackend& usb, const CliOptions& options, CliOutput& out,
               std::function<void(int)>& interrupt) {
    const QString command = CommandName(options.Cmd);
    CommandRun run(usb, TaskOf(options.Cmd), command, options);
    Verdict verdict = options.Cmd == Command::List ? List(usb, out) : run.Prepare();
    if (options.Cmd == Command::List || verdict.Status != kExitDone) {
        out.Result(command, verdict);
        return verdict.Status;
    }
    if (options.SeveralDevices()) out.SetDevices(&run.Devices());
    QObject::connect(&run, &CommandRun::Log, [&](int i, const QString& line) { out.Log(line, i); });
    QObject::connect(&run, &CommandRun::Note, [&](int i, const QString& text) {
        out.Step(text, i, QStringLiteral("note"));
    });
    QObject::connect(&run, &CommandRun::Step,
                     [&](int i, const QString& text) { out.Step(text, i); });
    QObject::connect(&run, &CommandRun::Info, [&](int i, const DeviceInfo& info) {
        out.Data(QStringLiteral("info"), info.Text(), info.ToJson(), i);
    });
    QObject::connect(&run, &CommandRun::Listening, [&](int i, int port) {
        out.Data(QStringLiteral("listening"), QStringLiteral("Мост TCP: 127.0.0.1:%1").arg(port),
                 {{QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                  {QStringLiteral("port"), port}},
                 i);
    });
    QObject::connect(&run, &CommandRun::Progress,
                     [&](int i, const JobProgress& progress) { out.ShowProgress(progress, i); });
    QObject::connect(&run, &CommandRun::DeviceFinished,
                     [&](int i) { out.DeviceResult(command, i); });
    QEventLoop loop;
    QObject::connect(&run, &CommandRun::Finished, [&](const Verdict& ended) {
        verdict = ended;
        loop.quit();
    });
    interrupt = [&](int signal) { run.Interrupt(ExitStatusOfSignal(signal)); };
    run.Start();
    loop.exec();
    interrupt = nullptr;
    out.Result(command, verdict);
    out.SetDevices(nullptr);
    return verdict.Status;
}

} // namespace ktr::cli

#include "CliCommands.h"

#include "JournalSummary.h"
#include "Station.h"

#include <QEventLoop>

#include <algorithm>

namespace ktr::cli {

namespace {

Verdict List(UsbBackend& usb, CliOutput& out) {
    usb.Init();
    const std::vector<UsbDeviceInfo> devices = usb.ListDevices();
    for (const UsbDeviceInfo& device : devices) {
        const QString address = DeviceAddress{device.Bus, device.Device}.Text();
        out.Data(QStringLiteral("device"),
                 device.Accessible ? address : address + QStringLiteral(" (нет доступа)"),
                 {{"bus", device.Bus},
                  {"device", device.Device},
                  {"port", QString::fromStdString(device.PortPath)},
                  {"accessible", device.Accessible}});
    }
    return devices.empty() ? NoDevicesFound() : Verdict{};
}

} // namespace

int RunCommand(UsbBackend& usb, const CliOptions& options, CliOutput& out,
               std::function<void(int)>& interrupt) {
    const QString command = CommandName(options.Cmd);
    CommandRun run(usb, TaskOf(options.Cmd), command, options);
    Verdict verdict = options.Cmd == Command::List ? List(usb, out) : run.Prepare();
    if (options.Cmd == Command::List || verdict.Status != kExitDone)
        return out.Result(command, verdict);
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
                 {{"address", "127.0.0.1"}, {"port", port}}, i);
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
    const int status = out.Result(command, verdict);
    out.SetDevices(nullptr); // they go with the run
    return status;
}

int RunStation(UsbBackend& usb, const CliOptions& options, CliOutput& out,
               std::function<void(int)>& interrupt) {
    const QString command = CommandName(Command::Station);
    StationConfig config = StationConfigOf(options);
    config.Ports = options.Ports;
    config.Count = options.Count;
    config.SerialAddress = uint32_t(std::max(options.SerialAddress, 0));
    if (options.SerialAddress >= 0) config.SerialFile = options.SerialFile;
    usb.Init();
    Station station(usb, config);
    Verdict end;
    QEventLoop loop;
    QObject::connect(&station, &Station::SocketChanged, [&](const SocketState& socket) {
        const bool result =
            socket.Phase == SocketPhase::Passed || socket.Phase == SocketPhase::Failed;
        if (out.DrawsBoard()) return out.Board(station.Board(), result);
        out.Data(QStringLiteral("socket"), SocketText(socket), SocketJson(socket));
    });
    QObject::connect(&station, &Station::Recorded, [&](const JournalRecord& record) {
        if (!out.DrawsBoard()) out.Data(QStringLiteral("record"), station.Tally(), record.ToJson());
    });
    QObject::connect(&station, &Station::Finished, [&](const Verdict& verdict) {
        end = verdict;
        loop.quit();
    });
    end = station.Start();
    if (end.Status != kExitDone) return out.Result(command, end);
    interrupt = [&](int signal) { station.Stop(Interrupted(ExitStatusOfSignal(signal))); };
    loop.exec();
    interrupt = nullptr;
    return out.Result(command, end, {{"passed", station.Passed()}, {"failed", station.Failed()}});
}

int RunJournal(const CliOptions& options, CliOutput& out) {
    const QString command = CommandName(Command::Journal);
    QString error;
    const std::optional<JournalSummary> summary = SummarizeJournal(options.JournalFile, &error);
    if (!summary) return out.Result(command, {kExitFile, error, {}});
    out.Data(QStringLiteral("summary"), JournalSummaryText(*summary).trimmed(),
             JournalSummaryJson(*summary));
    return out.Result(command, {});
}

} // namespace ktr::cli

#include "CliStation.h"

#include "JournalSummary.h"
#include "Station.h"

#include <QEventLoop>

#include <utility>

namespace ktr::cli {

int RunStation(UsbBackend& usb, const CliOptions& options, CliOutput& out,
               std::function<void(int)>& interrupt) {
    const QString command = CommandName(Command::Station);
    StationConfig config;
    for (const auto& [memory, path] : {std::pair{Memory::Flash, options.FlashFile},
                                       std::pair{Memory::Eeprom, options.EepromFile}})
        if (!path.isEmpty()) config.Images.push_back({memory, path});
    config.Format = options.Format;
    config.Ports = options.Ports;
    config.Count = options.Count;
    config.Timings = options.Timings;
    config.LinkTimeoutS = options.LinkTimeoutS;
    config.SerialAddress = uint32_t(std::max(options.SerialAddress, 0));
    if (options.SerialAddress >= 0) config.SerialFile = options.SerialFile;
    config.JournalFile = options.JournalFile;
    if (options.TimeoutSet) config.TimeoutS = options.TimeoutS;
    usb.Init();
    Station station(usb, config);
    Verdict end;
    QEventLoop loop;
    QObject::connect(&station, &Station::SocketChanged, [&](const SocketState& socket) {
        const bool result =
            socket.Phase == SocketPhase::Passed || socket.Phase == SocketPhase::Failed;
        if (out.IsTerminal() && !options.Json) return out.Board(station.Board(), result);
        out.Data(QStringLiteral("socket"), SocketText(socket), SocketJson(socket));
    });
    QObject::connect(&station, &Station::Recorded, [&](const JournalRecord& record) {
        if (!out.IsTerminal() || options.Json)
            out.Data(QStringLiteral("record"), station.Tally(), record.ToJson());
    });
    QObject::connect(&station, &Station::Finished, [&](const Verdict& verdict) {
        end = verdict;
        loop.quit();
    });
    end = station.Start();
    if (end.Status != kExitDone) {
        out.Result(command, end);
        return end.Status;
    }
    interrupt = [&](int signal) { station.Stop(Interrupted(ExitStatusOfSignal(signal))); };
    loop.exec();
    interrupt = nullptr;
    out.Result(command, end, {{"passed", station.Passed()}, {"failed", station.Failed()}});
    return end.Status;
}

int RunJournal(const CliOptions& options, CliOutput& out) {
    const QString command = CommandName(Command::Journal);
    QString error;
    const std::optional<JournalSummary> summary = SummarizeJournal(options.JournalFile, &error);
    if (!summary) {
        out.Result(command, {kExitFile, error, {}});
        return kExitFile;
    }
    out.Data(QStringLiteral("summary"), JournalSummaryText(*summary).trimmed(),
             JournalSummaryJson(*summary));
    out.Result(command, {});
    return kExitDone;
}

} // namespace ktr::cli

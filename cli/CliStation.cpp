#include "CliStation.h"

#include "JournalSummary.h"
#include "Station.h"

#include <QEventLoop>
#include <QTimer>

#include <map>
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
    SerialCounter serials(options.SerialFile);
    if (options.SerialAddress >= 0) config.Serials = &serials;
    Journal journal;
    QString error;
    if (!options.JournalFile.isEmpty()) {
        if (!journal.Open(options.JournalFile, &error)) {
            out.Result(command, kExitJournal, error);
            return kExitJournal;
        }
        config.Records = &journal;
    }
    usb.Init();
    Station station(usb, config);
    std::map<QString, SocketState> sockets; // as last shown, by port
    int worst = kExitDone;
    Verdict end;
    QEventLoop loop;
    const auto board = [&](bool bell) {
        QStringList lines;
        for (const auto& [port, socket] : sockets)
            lines << SocketText(socket);
        lines << station.Tally();
        out.Board(lines, bell);
    };
    QObject::connect(&station, &Station::SocketChanged, [&](const SocketState& socket) {
        const SocketState before = std::exchange(sockets[socket.Port], socket);
        const bool result =
            socket.Phase == SocketPhase::Passed || socket.Phase == SocketPhase::Failed;
        if (out.IsTerminal() && !options.Json) return board(result && before.Phase != socket.Phase);
        if (before.Phase == socket.Phase && before.Name == socket.Name &&
            before.Percent() == socket.Percent())
            return;
        out.Data(QStringLiteral("socket"), SocketText(socket), SocketJson(socket));
    });
    QObject::connect(&station, &Station::Recorded, [&](const JournalRecord& record) {
        worst = std::max(worst, record.Status);
        if (!out.IsTerminal() || options.Json)
            out.Data(QStringLiteral("record"), station.Tally(), record.ToJson());
    });
    QObject::connect(&station, &Station::Finished, [&](const Verdict& verdict) {
        end = verdict;
        loop.quit();
    });
    end = station.Start();
    if (end.Status != kExitDone) {
        out.Result(command, end.Status, end.Message);
        return end.Status;
    }
    interrupt = [&](int signal) {
        station.Stop(ExitStatusOfSignal(signal), QStringLiteral("прервано"));
    };
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] {
        station.Stop(kExitLink,
                     QStringLiteral("истекло время ожидания (%1 с)").arg(options.TimeoutS));
    });
    if (options.TimeoutSet) deadline.start(std::chrono::seconds(options.TimeoutS));
    loop.exec();
    interrupt = nullptr;
    const int status = end.Status == kExitJournal ? kExitJournal : worst;
    QString message = station.Tally();
    if (end.Status == kExitJournal) message = end.Message + QStringLiteral("; ") + message;
    out.Result(command, status, message,
               {{"passed", station.Passed()}, {"failed", station.Failed()}});
    return status;
}

int RunJournal(const CliOptions& options, CliOutput& out) {
    const QString command = CommandName(Command::Journal);
    QString error;
    const std::optional<JournalSummary> summary = SummarizeJournal(options.JournalFile, &error);
    if (!summary) {
        out.Result(command, kExitFile, error);
        return kExitFile;
    }
    out.Data(QStringLiteral("summary"), JournalSummaryText(*summary).trimmed(),
             JournalSummaryJson(*summary));
    out.Result(command, kExitDone, {});
    return kExitDone;
}

} // namespace ktr::cli

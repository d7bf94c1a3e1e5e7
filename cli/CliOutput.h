// What ktr-cli prints: the device, each step, progress, the command's results and one line on
// stderr per failure; the system's log lines with --verbose. Text for people (a progress bar
// on a terminal, plain lines otherwise) or, with --json, one JSON object per line for
// programs. A run over several devices gives each device its own CliOutput onto the same
// streams.
#pragma once

#include "Job.h"

#include <QElapsedTimer>
#include <QIODevice>
#include <QJsonObject>
#include <QString>

#include <memory>

namespace ktr::cli {

class CliOutput {
public:
    struct Style {
        bool Json = false;
        bool Quiet = false;
        bool Terminal = false; // out is a terminal: a progress bar redrawn in place
        bool Verbose = false;  // the log lines in text too
        int Columns = 0;       // the terminal's width; 0: asked of stdout, else COLUMNS, else 80
    };
    // The program's output.
    CliOutput(QIODevice& out, QIODevice& err, Style style);
    // One device's output in a run over several, into program's streams: its text lines start
    // with "[BUS:DEV name] ", its JSON events carry "bus_dev" and, once known, "name"; its
    // progress is shown beside the other devices'; its Result is a row of the final table.
    // device: "BUS:DEV". program must outlive it.
    CliOutput(CliOutput& program, const QString& device);
    ~CliOutput();
    CliOutput(const CliOutput&) = delete;
    CliOutput& operator=(const CliOutput&) = delete;

    // text with every control character, escape sequence introducer and direction override
    // shown escaped ("\e", "\x07", "\u202E"), so that nothing a device sends can act on a
    // terminal. Every text line goes through it.
    static QString Printable(const QString& text);

    // The device's name once identified: shown in its lines, events and row.
    void SetDeviceName(const QString& name);
    // What the command does now, in the program's own words ("Запись FLASH: 12 блоков"):
    // printed unless quiet.
    void Step(const QString& text);
    // A line of the window's log: printed with --verbose; with --json unless quiet.
    void Log(const QString& line);
    // Called on every change; prints as the style allows (a bar at most ten times a second,
    // plain lines every tenth, JSON every whole percent). On a terminal the bar fits its
    // width, dropping figures rather than wrapping.
    void ShowProgress(const JobProgress& progress);
    // A result the command exists for (info fields, a listed device): printed even when quiet.
    // text for people (may hold several lines); fields for --json, under "event": event.
    void Data(const QString& event, const QString& text, QJsonObject fields);
    bool IsTerminal() const;
    // On a terminal: lines drawn over the ones this drew last (a station's sockets), after a
    // bell when bell.
    void Board(const QStringList& lines, bool bell);
    // A remark beside the log, such as the bridge's client count ("Подключений: 1").
    void Note(const QString& text);
    // The program's output: the last thing printed. With --json a result object; a failure
    // also goes to stderr as "ktr-cli: message". After devices' results: their table first,
    // and with --json a "devices" array and the "failed" addresses in the result.
    // A device's output: its outcome line (or a "device_result" event), and its table row
    // (name, command, result, time since this output was made); nothing on stderr.
    // extra: more fields of the JSON result (what a failed write left on the device); a
    // device's go into its "device_result" event and its entry in "devices".
    void Result(const QString& command, int status, const QString& message,
                const QJsonObject& extra = {});
    // The highest status of the devices' results so far; kExitDone (0) when none.
    int WorstDeviceStatus() const;

private:
    struct Shared;

    void TextLine(const QString& text);
    void JsonEvent(const QString& event, QJsonObject fields);
    void DeviceOutcome(const QString& command, int status, const QString& message,
                       const QJsonObject& extra);
    QString Prefix() const;

    std::shared_ptr<Shared> shared_;
    int row_ = -1; // this device's row in shared_; -1: the program's output
    int64_t lastStep_ = -1;
    QElapsedTimer clock_;
};

} // namespace ktr::cli

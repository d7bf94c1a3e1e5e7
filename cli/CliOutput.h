// What ktr-cli prints: the device, each step, progress, the command's results and one line on
// stderr per failure; the system's log lines with --verbose. Text for people (a progress bar
// on a terminal, plain lines otherwise) or, with --json, one JSON object per line for
// programs.
#pragma once

#include "CommandRun.h"

#include <QElapsedTimer>
#include <QIODevice>
#include <QJsonObject>
#include <QString>

#include <vector>

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
    CliOutput(QIODevice& out, QIODevice& err, Style style);

    // A run over several devices, which must outlive this output's use of them. Once they are
    // set, a call with a device (its index there) is that device's: its text lines start with
    // "[BUS:DEV name] ", its JSON events carry "bus_dev" and, once known, "name"; its progress is
    // shown beside the other devices'. Without one (-1) it is the program's.
    void SetDevices(const std::vector<CommandDevice>* devices);

    // text with every control character, escape sequence introducer and direction override
    // shown escaped ("\e", "\x07", "\u202E"), so that nothing a device sends can act on a
    // terminal. Every text line goes through it.
    static QString Printable(const QString& text);

    // What the command does now, in the program's own words ("Запись FLASH: 12 блоков"), or
    // with event "note" a remark beside the log (the bridge's "Подключений: 1"): printed
    // unless quiet.
    void Step(const QString& text, int device = -1, const QString& event = QStringLiteral("step"));
    // A line of the window's log: printed with --verbose; with --json unless quiet.
    void Log(const QString& line, int device = -1);
    // A result the command exists for (info fields, a listed device): printed even when quiet.
    // text for people (may hold several lines); fields for --json, under "event": event.
    void Data(const QString& event, const QString& text, QJsonObject fields, int device = -1);
    // Called on every change; prints as the style allows (a bar at most ten times a second,
    // plain lines every tenth, JSON every whole percent). On a terminal the bar fits its
    // width, dropping figures rather than wrapping.
    void ShowProgress(const JobProgress& progress, int device = -1);
    // A device of several that has ended: its outcome line, or a "device_result" event.
    void DeviceResult(const QString& command, int device);
    // Text on a terminal: lines drawn over the ones this drew last (a station's sockets), after
    // a bell when bell.
    bool DrawsBoard() const { return look_.Terminal && !look_.Json; }
    void Board(const QStringList& lines, bool bell);
    // The last thing printed, and the verdict's status: the devices' table (name, command,
    // result, time), then the message; with --json a result object, with the devices' rows,
    // the failed ones, what a failed write left and extra. A failure also goes to stderr as
    // "ktr-cli: message".
    int Result(const QString& command, const Verdict& verdict, const QJsonObject& extra = {});

private:
    void TextLine(const QString& text, int device = -1);
    void JsonEvent(const QString& event, QJsonObject fields, int device = -1);
    void DrawBar(const QString& bar);
    const CommandDevice* Row(int device) const; // nullptr: the program's own
    QString Prefix(int device) const;

    QIODevice& out_;
    QIODevice& err_;
    const Style look_;
    const std::vector<CommandDevice>* devices_ = nullptr;
    QList<int64_t> lastSteps_{-1}; // by device + 1: the progress step last printed
    bool barShown_ = false;
    QByteArray bar_; // the bar as last drawn, redrawn under every line printed beneath it
    QElapsedTimer barClock_;
    qsizetype boardLines_ = 0; // of the board last drawn
};

} // namespace ktr::cli

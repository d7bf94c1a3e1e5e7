// What ktr-cli prints: the system's log lines, progress, the command's results and one line
// on stderr per failure. Text for people (a progress bar on a terminal, plain lines
// otherwise) or, with --json, one JSON object per line for programs.
#pragma once

#include <QElapsedTimer>
#include <QIODevice>
#include <QJsonObject>
#include <QString>

namespace ktr::cli {

struct Progress {
    int64_t DoneBlocks = 0, TotalBlocks = 0;
    int64_t DoneBytes = 0, TotalBytes = 0;
    double BytesPerSecond = 0; // 0 until something is done
    double SecondsLeft = -1;   // -1: not known yet
};

class CliOutput {
public:
    struct Style {
        bool Json = false;
        bool Quiet = false;
        bool Terminal = false; // out is a terminal: a progress bar redrawn in place
    };
    CliOutput(QIODevice& out, QIODevice& err, Style style);

    void Log(const QString& line);
    // Called on every change; prints as the style allows (a bar at most ten times a second,
    // plain lines every tenth, JSON every whole percent).
    void ShowProgress(const Progress& progress);
    // A result the command exists for (info fields, a listed device): printed even when quiet.
    // text for people; fields for --json, under "event": event.
    void Data(const QString& event, const QString& text, QJsonObject fields);
    // A remark beside the log, such as the bridge's client count ("Подключений: 1").
    void Note(const QString& text);
    // The last thing printed: a result object with --json; a failure also goes to stderr as
    // "ktr-cli: message".
    void Result(const QString& command, int status, const QString& message);

private:
    void Line(const QByteArray& bytes);
    void Json(const QString& event, QJsonObject fields);
    void ClearBar();

    QIODevice& out_;
    QIODevice& err_;
    Style style_;
    bool barShown_ = false;
    QByteArray bar_;
    QElapsedTimer barClock_;
    int64_t lastStep_ = -1;
};

} // namespace ktr::cli

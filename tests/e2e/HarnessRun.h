// Runs ktr-cli (or a shell running it several times against one device) under
// usbsim-harness and collects what it printed and what the simulated device received.
#pragma once

#include "LogLines.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cstdint>
#include <vector>

inline const QString kPoll = QStringLiteral("53 52 51 01 01 00 00 F8");
inline const QString kIdent = QStringLiteral("53 52 51 01 01 00 01 F9 00 00");

constexpr int kProcessBoundMs = 40000;

inline QJsonObject ParseJsonLine(const QString& line) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    return error.error == QJsonParseError::NoError && document.isObject() ? document.object()
                                                                          : QJsonObject();
}

// KTR_USB_BACKEND for the programs started while it lives; empty: as the environment says.
class Library {
public:
    explicit Library(const QString& name)
        : set_(qEnvironmentVariableIsSet(kName)), saved_(qgetenv(kName)) {
        if (!name.isEmpty()) qputenv(kName, name.toLatin1());
    }
    ~Library() { set_ ? qputenv(kName, saved_) : qunsetenv(kName); }

private:
    static constexpr const char* kName = "KTR_USB_BACKEND";
    bool set_;
    QByteArray saved_;
};

struct Run {
    int ExitCode = -1;
    QStringList Output;         // stdout lines
    QStringList Errors;         // stderr lines
    QStringList Record;         // the OUT transfers the device received, as hex
    QList<QStringList> Records; // the same for each device of a --devices run, from device 1

    QString Dump() const { return (Output + Errors).join('\n'); }
    // The "text" of every --json event of one kind ("log", "note"), in order.
    QStringList Texts(const QString& kind) const {
        QStringList texts;
        for (const QString& line : Output)
            if (const QJsonObject event = ParseJsonLine(line); event["event"].toString() == kind)
                texts << event["text"].toString();
        return texts;
    }
    QStringList Log() const { return Texts(QStringLiteral("log")); }
    // The last --json event of one kind ("info", "result"); empty when there is none.
    QJsonObject Event(const QString& kind) const {
        QJsonObject last;
        for (const QString& line : Output)
            if (const QJsonObject event = ParseJsonLine(line); event["event"].toString() == kind)
                last = event;
        return last;
    }
    // Log lines after the first-connect status answers drained.
    QStringList LogAfterConnect() const {
        const QStringList log = Log();
        const qsizetype done = log.indexOf(kDone);
        return done < 0 ? QStringList() : log.mid(done + 1);
    }
    // OUT frames of one Type, e.g. "11" for FLASH writes.
    qsizetype FramesOfType(const QString& type) const {
        return std::count_if(Record.begin(), Record.end(), [&](const QString& line) {
            const QStringList bytes = line.split(' ');
            return bytes.size() > 6 && bytes[6] == type;
        });
    }
};

inline Run RunUnderHarness(const QStringList& harnessArgs, const QStringList& command) {
    QTemporaryDir dir;
    const QString record = dir.filePath(QStringLiteral("record{n}.txt"));
    QProcess process;
    process.start(QStringLiteral(KTR_HARNESS),
                  QStringList{QStringLiteral("--quiet"), QStringLiteral("--kill-after-s"),
                              QStringLiteral("30"), QStringLiteral("--record"), record} +
                      harnessArgs + QStringList{QStringLiteral("--")} + command);
    Run run;
    if (!process.waitForFinished(kProcessBoundMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.Output = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    run.Errors = QString::fromUtf8(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    for (int number = 1;; ++number) {
        QFile file(QString(record).replace(QStringLiteral("{n}"), QString::number(number)));
        if (!file.open(QIODevice::ReadOnly)) break;
        run.Records << QString::fromLatin1(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    run.Record = run.Records.value(0);
    return run;
}

// ktr-cli with --json, so that its log lines are told from everything else it prints.
inline Run RunCli(const QStringList& harnessArgs, const QStringList& cliArgs) {
    return RunUnderHarness(harnessArgs, QStringList{QStringLiteral(KTR_CLI)} + cliArgs +
                                            QStringList{QStringLiteral("--json")});
}

// The link core connected for a while, as the window sits: the bridge, on a port of the
// system's choosing unless the arguments name one, ended by its timeout.
// A fast device, and no pause before a reopen: a lost link is given up on at once.
// count bytes of bytes from from on (all of them by default).
inline QByteArray AsBytes(const std::vector<uint8_t>& bytes, size_t from = 0,
                          size_t count = SIZE_MAX) {
    count = std::min(count, bytes.size() - from);
    return QByteArray(reinterpret_cast<const char*>(bytes.data() + from), qsizetype(count));
}

// A temporary folder of files that a run reads and writes.
struct Files {
    QTemporaryDir Dir;
    QString Path(const QString& name) const { return Dir.filePath(name); }
    QString Write(const QString& name, const QByteArray& content) const {
        QFile f(Path(name));
        f.open(QIODevice::WriteOnly);
        f.write(content);
        return Path(name);
    }
    QString Write(const QString& name, const std::vector<uint8_t>& content) const {
        return Write(name, AsBytes(content));
    }
    QByteArray Read(const QString& name) const {
        QFile f(Path(name));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }
};

inline Run RunFast(const QStringList& harnessArgs, const QStringList& cliArgs) {
    return RunCli(QStringList{QStringLiteral("--latency-us"), QStringLiteral("0")} + harnessArgs,
                  cliArgs + QStringList{QStringLiteral("--fault-pause-ms"), QStringLiteral("0")});
}

// A shell run of several commands against one device; each prints "status N" after it.
inline Run RunScript(const QStringList& harnessArgs, const QString& script,
                     const QStringList& args) {
    return RunUnderHarness(
        QStringList{QStringLiteral("--latency-us"), QStringLiteral("0")} + harnessArgs,
        QStringList{QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral(KTR_CLI)} +
            args);
}

inline QStringList Statuses(const Run& run) {
    return run.Output.filter(QRegularExpression(QStringLiteral("^status \\d+$")));
}

inline Run RunConnected(const QStringList& harnessArgs, int seconds,
                        const QStringList& cliArgs = {}) {
    QStringList args{QStringLiteral("bridge"), QStringLiteral("--timeout"),
                     QString::number(seconds)};
    if (!cliArgs.contains(QStringLiteral("--port")))
        args << QStringLiteral("--port") << QStringLiteral("0");
    return RunCli(harnessArgs, args + cliArgs);
}

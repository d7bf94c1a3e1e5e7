// Runs ktr-cli, or a shell running it several times against one device, under usbsim-harness
// and collects its output and what the simulated device received.
#pragma once

#include "LogLines.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

constexpr int kCliProcessBoundMs = 40000;

struct CliRun {
    int ExitCode = -1;
    QStringList Out;    // stdout lines
    QStringList Err;    // stderr lines
    QStringList Record; // the OUT transfers the device received, as hex

    QString Dump() const { return (Out + Err).join('\n'); }
    // OUT frames of one Type, e.g. "11" for FLASH writes.
    qsizetype FramesOfType(const QString& type) const {
        return std::count_if(Record.begin(), Record.end(), [&](const QString& line) {
            const QStringList bytes = line.split(' ');
            return bytes.size() > 6 && bytes[6] == type;
        });
    }
};

inline CliRun RunUnderHarness(const QStringList& harnessArgs, const QStringList& command) {
    QTemporaryDir dir;
    const QString record = dir.filePath(QStringLiteral("record.txt"));
    QProcess process;
    process.start(
        QStringLiteral(KTR_HARNESS),
        QStringList{"--quiet", "--kill-after-s", "30", "--latency-us", "0", "--record", record} +
            harnessArgs + QStringList{"--"} + command);
    CliRun run;
    if (!process.waitForFinished(kCliProcessBoundMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.Out = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    run.Err = QString::fromUtf8(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    QFile file(record);
    if (file.open(QIODevice::ReadOnly))
        run.Record = QString::fromLatin1(file.readAll()).split('\n', Qt::SkipEmptyParts);
    return run;
}

// Shortened link intervals so that a lost link is given up on at once.
inline CliRun RunCli(const QStringList& harnessArgs, const QStringList& cliArgs) {
    return RunUnderHarness(harnessArgs, QStringList{KTR_CLI, "--fault-pause-ms", "0"} + cliArgs);
}

inline QJsonObject ParseJsonLine(const QString& line) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    return error.error == QJsonParseError::NoError && document.isObject() ? document.object()
                                                                          : QJsonObject();
}

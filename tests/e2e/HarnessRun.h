// Runs the headless program under usbsim-harness and collects what it printed and what the
// simulated device received.
#pragma once

#include "LogLines.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

inline const QString kPoll = QStringLiteral("53 52 51 01 01 00 00 F8");
inline const QString kIdent = QStringLiteral("53 52 51 01 01 00 01 F9 00 00");

constexpr int kProcessBoundMs = 40000;

struct Run {
    int ExitCode = -1;
    QStringList Output;  // every line the program printed
    QStringList Log;     // its "log: " lines, without the prefix
    QStringList Record;  // the OUT transfers the device received, as hex
    QString ErrorOutput; // for failure messages

    QString Last(const QString& kind) const {
        QString value;
        for (const QString& line : Output)
            if (line.startsWith(kind + QStringLiteral(": "))) value = line.mid(kind.size() + 2);
        return value;
    }
    // Log lines after the first-connect status answers drained.
    QStringList LogAfterConnect() const {
        const qsizetype done = Log.indexOf(kDone);
        return done < 0 ? QStringList() : Log.mid(done + 1);
    }
};

inline Run RunHarness(const QStringList& harnessArgs, const QStringList& programArgs) {
    QTemporaryDir dir;
    const QString record = dir.filePath(QStringLiteral("record.txt"));
    // The program listens for bridge clients: on a port the system chooses unless the test
    // names one, so that runs side by side do not collide.
    const QStringList portArgs =
        programArgs.contains(QStringLiteral("--tcp-port"))
            ? QStringList()
            : QStringList{QStringLiteral("--tcp-port"), QStringLiteral("0")};
    QProcess process;
    process.start(QStringLiteral(KTR_HARNESS),
                  QStringList{QStringLiteral("--quiet"), QStringLiteral("--kill-after-s"),
                              QStringLiteral("30"), QStringLiteral("--record"), record} +
                      harnessArgs +
                      QStringList{QStringLiteral("--"), QStringLiteral(KTR_HEADLESS)} + portArgs +
                      programArgs);
    Run run;
    if (!process.waitForFinished(kProcessBoundMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.ErrorOutput = QString::fromUtf8(process.readAllStandardError());
    run.Output = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    for (const QString& line : run.Output)
        if (line.startsWith(QStringLiteral("log: "))) run.Log << line.mid(5);
    QFile file(record);
    if (file.open(QIODevice::ReadOnly))
        run.Record = QString::fromLatin1(file.readAll()).split('\n', Qt::SkipEmptyParts);
    return run;
}

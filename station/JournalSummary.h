// A summary of a production journal: how many devices, how many passed, why the others
// failed, how long a device took, and the same per image.
#pragma once

#include <QJsonObject>
#include <QString>

#include <map>
#include <optional>
#include <vector>

class QIODevice;

namespace ktr {

struct JournalImageTally {
    QString Sha256;
    QString Memory, Path; // as the first record with this image named them
    int Devices = 0, Passed = 0, Failed = 0;
};

struct JournalSkippedLine {
    qint64 Line = 0; // 1-based
    QString Reason;
};

struct JournalSummary {
    int Devices = 0, Passed = 0;
    std::map<int, int> FailedByStatus;
    std::map<QString, int> FailedByPhase;
    std::optional<double> MedianSeconds, SlowestSeconds; // of every record; none without one
    std::vector<JournalImageTally> Images;               // in the order they first appear
    std::vector<JournalSkippedLine> Skipped;             // torn or foreign lines

    int Failed() const { return Devices - Passed; }
    std::optional<double> Yield() const; // passed / devices
};

// Reads the journal to its end. A line that is not a record of the journal (torn by a power
// cut, or not written by it) is listed in Skipped and counts for nothing.
JournalSummary SummarizeJournal(QIODevice& in);
// nullopt with a Russian error when the file cannot be opened.
std::optional<JournalSummary> SummarizeJournal(const QString& path, QString* error);

// For people, in Russian: a few lines, each ending in '\n'.
QString JournalSummaryText(const JournalSummary& summary);
// For `--json`: the same figures as one object.
QJsonObject JournalSummaryJson(const JournalSummary& summary);

} // namespace ktr

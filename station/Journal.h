// The production journal: one JSON object per line for every device attempt, appended so that
// no record is lost or torn, and shared safely by several stations through an advisory lock.
#pragma once

#include "PosixFile.h"
#include "Verdict.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <sys/types.h>
#include <vector>

namespace ktr {

// One image written or verified, as it was on disk when the job took it.
struct JournalImage {
    QString Memory; // "flash" or "eeprom"
    QString Path;
    QString Sha256; // lower-case hex of the file's bytes
    qint64 Bytes = 0;
    QString Format; // "hex" or "raw"

    QJsonObject ToJson() const;
};

// The image of memory in path as recorded: its absolute path, bytes, SHA-256 and how format
// reads it; nullopt with a Russian error when the file cannot be read.
std::optional<JournalImage> JournalImageFromFile(Memory memory, const QString& path,
                                                 JobRules::Format format, QString* error);

// The program's version, as `ktr-cli --version` prints it.
QString ProgramVersion();

struct JournalRecord {
    QDateTime Start, End; // written in UTC with milliseconds
    QString Station = DefaultStation();
    QString Version = ProgramVersion();
    QString Port;   // port path, e.g. "1-1.2"
    QString BusDev; // e.g. "003:007"
    QString Name;
    int Kind = 0;
    QString KindName;
    qint64 FlashSize = 0, EepromSize = 0, AuxSize = 0;
    std::vector<JournalImage> Images;
    QString Command;
    int Status = 0; // ktr-cli's exit status; 0 = passed
    QString Message;
    QString Phase;      // "" when passed, else "connect", "identify", "write" or "verify"
    QJsonArray Partial; // what a failed write left, as the command reports it
    double Seconds = 0;
    std::optional<uint32_t> Serial; // written only when the line gives serial numbers
    qint64 Number = 0;              // set by Journal::Append: the record's line number in the file

    static QString DefaultStation(); // the host name
    QJsonObject ToJson() const;
};

class Journal {
public:
    Journal() = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Opens the file for appending, creating it 0644. Refuses a path that is not a regular
    // file or cannot be written, with a Russian error naming the path and the system's reason.
    // A last line left without its newline (a power cut) is closed off, so that no record is
    // ever merged with it.
    bool Open(const QString& path, QString* error);
    bool IsOpen() const { return fd_.Valid(); }
    const QString& Path() const { return path_; }

    // Numbers the record and appends it as one line, synced to disk before it returns the
    // number (0 on a failure).
    // On a failure the file is cut back to its size before, so that no torn record is left,
    // and false is returned with a Russian error. Safe against other Journals and processes
    // appending to the same file.
    qint64 Append(JournalRecord record, QString* error);

private:
    // Under the lock: counts the lines added since knownSize_ and closes off a torn last one.
    bool CatchUp(int fd, QString* error);
    // Counts the newlines up to size into lines_; false with errno set.
    bool CountLines(int fd, off_t size);
    // Appends bytes ending in '\n' and syncs them; on a failure cuts the file back to
    // knownSize_, where the caller's CatchUp left it.
    bool AppendBytes(int fd, const QByteArray& bytes, QString* error);
    QString Failed(const QString& what, int error) const;

    UniqueFd fd_;
    QString path_;
    off_t knownSize_ = 0; // the file's bytes whose newlines are in lines_
    qint64 lines_ = 0;
    bool endsWithNewline_ = true; // of the first knownSize_ bytes
};

} // namespace ktr

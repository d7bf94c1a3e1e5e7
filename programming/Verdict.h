// What a run on a device came to, in the words and statuses ktr-cli and the station report:
// the checks of a file before any device is asked, a job's outcome and a lost session as an
// exit status and a message, and what a failed write left on the device.
#pragma once

#include "DeviceSession.h"
#include "Job.h"

#include <QJsonArray>
#include <QString>

#include <csignal>
#include <optional>

namespace ktr {

// Exit statuses; a status is worse the higher it is. Scripts rely on them: each failure also
// prints one line on stderr.
constexpr int kExitDone = 0;
constexpr int kExitUsage = 2;    // bad command line, or the TCP port cannot be listened on
constexpr int kExitLink = 3;     // no device, link lost and not recovered, or timed out
constexpr int kExitFile = 4;     // file refused: cannot open, format error, too large
constexpr int kExitMismatch = 5; // verification mismatch
constexpr int kExitJournal = 6;  // the production journal cannot be written
// A command ended by a signal: 128 and the signal's number, as shells report it.
constexpr int ExitStatusOfSignal(int signal) {
    return 128 + signal;
}
constexpr int kExitHangup = ExitStatusOfSignal(SIGHUP);      // any command but bridge
constexpr int kExitInterrupted = ExitStatusOfSignal(SIGINT); // Ctrl-C
constexpr int kExitTerminated = ExitStatusOfSignal(SIGTERM);

struct Verdict {
    int Status = kExitDone;
    QString Message;
    QJsonArray Partial; // what a failed write left, per memory; empty when nothing
};

// Why an image file cannot be taken, before any device is asked; nothing when it can. Beside
// the job's own checks, a file whose content contradicts the name it is read by (HEX text
// named as raw, binary data named as HEX) is refused under ByExtension.
std::optional<QString> ImageFileProblem(Memory memory, const QString& path,
                                        JobRules::Format format);
// Whether path is read as Intel HEX (else raw bytes) for memory under format.
bool ReadsAsHex(Memory memory, const QString& path, JobRules::Format format);
// Why an area cannot be read into path; nothing when it can.
std::optional<QString> OutputFileProblem(const QString& path);
// The refusal of a file as a verdict (4): "файл FLASH «path» why".
Verdict FileRefused(Memory memory, const QString& path, const QString& why);

// What a job came to. reading: the job was a read (its areas' text is doneText).
Verdict JobVerdict(const JobOutcome& outcome, bool write, bool reading = false,
                   const QString& doneText = {});
// A verdict of status reached while a job had left what left says: the message and Partial
// tell what a failed write may have left on the device.
Verdict WithLeft(Verdict verdict, const std::vector<MemoryLeft>& left);
// The device session given up on: device names it ("1000:6666 на 1:2"), waitedS is the link
// timeout.
QString LossText(SessionLoss why, const QString& device, int waitedS);
QString NotServedText(const QString& device, uint32_t kind);
// A command given up at its deadline of seconds (3), or ended by a signal with status.
Verdict TimedOut(int seconds);
Verdict Interrupted(int status);

} // namespace ktr

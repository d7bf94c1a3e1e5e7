// The command line of ktr-cli: one command, the device to use, its files and how to report.
#pragma once

#include "LinkControl.h"

#include <QString>
#include <QStringList>

namespace ktr::cli {

enum class Command { Help, List, Info, Write, Verify, Read, Bridge, Configure };

// Exit statuses; each failure also prints one line on stderr.
constexpr int kExitDone = 0;
constexpr int kExitUsage = 2;         // bad command line, or the TCP port cannot be listened on
constexpr int kExitLink = 3;          // no device, link lost and not recovered, or timed out
constexpr int kExitFile = 4;          // file refused: cannot open, format error, too large
constexpr int kExitMismatch = 5;      // verification mismatch
constexpr int kExitInterrupted = 130; // Ctrl-C during any command but bridge

// Long enough for a 16 MiB image written and verified over a real link.
constexpr int kDefaultTimeoutS = 3600;
constexpr int kMaxTimeoutS = 7 * 24 * 3600;
constexpr uint16_t kDefaultBridgePort = 10005;

struct CliOptions {
    Command Cmd = Command::Help;
    int Bus = 0, Device = 0; // --device BUS:DEV; 0 and 0: the first device found
    QString FlashFile, EepromFile, AuxFile;
    int TcpPort = kDefaultBridgePort;
    bool Json = false;
    bool Quiet = false;
    int TimeoutS = kDefaultTimeoutS;
    bool TimeoutSet = false; // bridge runs until interrupted unless a timeout is given
    LinkTimings Timings;     // the link's intervals; tests shorten them
};

// arguments: without the program name. Empty on success, else what is wrong (Russian).
QString ParseCliOptions(const QStringList& arguments, CliOptions& options);
QString CliHelp();
// The command's name as typed ("write").
QString CommandName(Command command);

} // namespace ktr::cli

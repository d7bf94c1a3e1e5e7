// The command line of ktr-cli: one command, the devices to use, its files and how to report.
#pragma once

#include "LinkControl.h"
#include "TcpBridge.h"
#include "Verdict.h"
#include "WriteJobs.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <csignal>

namespace ktr::cli {

// None: no command given yet. Help and Version print and end.
enum class Command {
    None,
    Help,
    Version,
    List,
    Info,
    Write,
    Verify,
    Read,
    Bridge,
    Configure,
    Station,
    Journal
};

// The status of a command ended by a signal: 128 and the signal's number, as shells report it.
constexpr int ExitStatusOfSignal(int signal) {
    return 128 + signal;
}

// Exit statuses; each failure also prints one line on stderr. A status is worse the higher it
// is. What each means is told by the help, from one table beside the options'.
// kExitDone to kExitMismatch are the core's (Verdict.h).
constexpr int kExitHangup = ExitStatusOfSignal(SIGHUP);      // any command but bridge
constexpr int kExitInterrupted = ExitStatusOfSignal(SIGINT); // Ctrl-C
constexpr int kExitTerminated = ExitStatusOfSignal(SIGTERM);
// Every status above, in the order the help lists them.
QList<int> ExitStatuses();

// Long enough for a 16 MiB image written and verified over a real link.
constexpr int kDefaultTimeoutS = 3600;
constexpr int kMaxTimeoutS = 7 * 24 * 3600;
// A link that has not come back for this long is given up on.
constexpr int kDefaultLinkTimeoutS = 30;

// BUS:DEV in decimal, as `list` prints them; 0:0 stands for the first device found.
struct DeviceAddress {
    int Bus = 0, Device = 0;
    QString Text() const { return QStringLiteral("%1:%2").arg(Bus).arg(Device); }
    bool operator==(const DeviceAddress&) const = default;
};

struct CliOptions {
    Command Cmd = Command::None;
    Command HelpTopic = Command::None; // help: the command asked about; None: all of them
    QList<DeviceAddress> Devices;      // --device in the order given; empty: see AllDevices
    bool AllDevices = false;           // --all: every attached device
    QString FlashFile, EepromFile, AuxFile;
    JobRules::Format Format = JobRules::Format::ByExtension; // --format: auto, hex, raw
    int TcpPort = kDefaultTcpPort;
    bool Json = false;
    bool Quiet = false;
    bool Verbose = false;
    int TimeoutS = kDefaultTimeoutS;
    bool TimeoutSet = false; // bridge runs until interrupted unless a timeout is given
    int LinkTimeoutS = kDefaultLinkTimeoutS;
    QString JournalFile;    // --journal, or the file journal summarises
    QStringList Ports;      // station: the fixture's port paths; empty: every port
    int Count = 0;          // station: devices to serve; 0: until interrupted
    QString SerialFile;     // station: the serial number counter
    int SerialAddress = -1; // station: where in EEPROM the number goes; -1: no serial numbers
    LinkTimings Timings;    // the link's intervals; tests shorten them
    // Not an option: the program sets it to the signal received before it calls the session's
    // Interrupt(); 0 until then.
    int InterruptSignal = 0;

    // The device of a one-device run: the one --device, or 0:0 for the first found.
    DeviceAddress OneDevice() const { return Devices.value(0); }
    // --all, or --device given more than once.
    bool SeveralDevices() const { return AllDevices || Devices.size() > 1; }
};

// arguments: without the program name. Empty on success, else what is wrong (Russian); even
// then Json and, once it was read, Cmd are set, so that the refusal can be reported as asked.
QString ParseCliOptions(const QStringList& arguments, CliOptions& options);
// The help of one command, or of them all for Command::None: every command, option and exit
// status.
QString CliHelp(Command topic = Command::None);
// The command's name as typed ("write"); empty for None.
QString CommandName(Command command);
} // namespace ktr::cli

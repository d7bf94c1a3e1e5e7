// The command line of ktr-cli: one command, the devices to use, its files and how to report.
#pragma once

#include "CommandRun.h"

#include <QList>
#include <QString>
#include <QStringList>

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

// Every exit status (Verdict.h), in the order the help lists them; what each means is told
// by the help.
QList<int> ExitStatuses();

constexpr int kMaxTimeoutS = 7 * 24 * 3600;

// The devices, files, timeouts and journal of a device command are the core's setup.
struct CliOptions : CommandSetup {
    Command Cmd = Command::None;
    Command HelpTopic = Command::None; // help: the command asked about; None: all of them
    bool Json = false;
    bool Quiet = false;
    bool Verbose = false;
    QStringList Ports;      // station: the fixture's port paths; empty: every port
    int Count = 0;          // station: devices to serve; 0: until interrupted
    QString SerialFile;     // station: the serial number counter
    int SerialAddress = -1; // station: where in EEPROM the number goes; -1: no serial numbers
};

// arguments: without the program name. Empty on success, else what is wrong (Russian); even
// then Json and, once it was read, Cmd are set, so that the refusal can be reported as asked.
QString ParseCliOptions(const QStringList& arguments, CliOptions& options);
// The help of one command, or of them all for Command::None: every command, option and exit
// status.
QString CliHelp(Command topic = Command::None);
// The command's name as typed ("write"); empty for None.
QString CommandName(Command command);
// What a command run on devices does on each.
DeviceTask TaskOf(Command command);
} // namespace ktr::cli

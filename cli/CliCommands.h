// What ktr-cli runs: one command on one device or several, by the core's CommandRun; the
// production station; the journal's summary. Each prints what the core announces and returns
// the exit status, the result printed (the highest of the devices' when there are several).
// They run on any UsbBackend, so tests drive them in-process on the simulated bus.
#pragma once

#include "CliOptions.h"
#include "CliOutput.h"

#include <functional>

namespace ktr::cli {

// Runs the command until its outcome is known (needs a QCoreApplication). interrupt is set
// while it runs: called with a signal's number, it closes every link cleanly; the bridge then
// ends with 0, any other command with 128 + the signal.
int RunCommand(UsbBackend& usb, const CliOptions& options, CliOutput& out,
               std::function<void(int)>& interrupt);
// Serves devices until the count is reached or interrupt is called with a signal.
int RunStation(UsbBackend& usb, const CliOptions& options, CliOutput& out,
               std::function<void(int)>& interrupt);
int RunJournal(const CliOptions& options, CliOutput& out);

} // namespace ktr::cli

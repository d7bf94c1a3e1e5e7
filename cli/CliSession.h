// One ktr-cli command on one device or several, run by the core's CommandRun; this prints what
// it announces. Runs on any UsbBackend, so tests drive it in-process on the simulated bus.
#pragma once

#include "CliOptions.h"
#include "CliOutput.h"

#include <functional>

namespace ktr::cli {

// Runs the command until its outcome is known (needs a QCoreApplication) and returns the exit
// status, the highest of the devices' when there are several, the result printed. interrupt
// is set while it runs: called with a signal's number, it closes every link cleanly; the
// bridge then ends with 0, any other command with 128 + the signal.
int RunCommand(UsbBackend& usb, const CliOptions& options, CliOutput& out,
               std::function<void(int)>& interrupt);

} // namespace ktr::cli

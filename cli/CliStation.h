// The production commands: station serves every device plugged in and records each one;
// journal summarises what was recorded.
#pragma once

#include "CliOptions.h"
#include "CliOutput.h"

#include <functional>

namespace ktr::cli {

// Runs until the count is reached or interrupt is called with a signal; returns the exit
// status, the result printed.
int RunStation(UsbBackend& usb, const CliOptions& options, CliOutput& out,
               std::function<void(int)>& interrupt);
int RunJournal(const CliOptions& options, CliOutput& out);

} // namespace ktr::cli

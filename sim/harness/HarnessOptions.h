// Command line of usbsim-harness: the simulated devices, their faults, and the program to run.
#pragma once

#include "DeviceModel.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ktr::sim {

enum class Direction { In, Out };

// Transfers numbered from 1 in their own direction: [First, First + Count) of them fail at
// once with Error, or hang for the timeout delay and then fail with ETIMEDOUT.
struct TransferFault {
    Direction Dir = Direction::In;
    uint64_t First = 0;
    uint64_t Count = 1;
    bool TimesOut = false;
    int Error = 0; // positive errno
};

// A scheduled change of a device's presence.
struct PlugChange {
    std::chrono::microseconds At{}; // from the harness being ready
    bool Plug = false;
    int DeviceNumber = 0; // a plug's: each arrival has a number never used before in the run
};

// Everything about one simulated device: what it is, how it misbehaves, where its results go.
struct DeviceOptions {
    DeviceConfig Device;
    int LatencyUs = 1000; // a full-speed control transfer spans about one frame
    std::vector<TransferFault> Faults;
    int TimeoutDelayMs = -1;        // -1: the timeout the transfer itself asked for
    uint64_t SilentAfterFrames = 0; // 0: always answers
    uint64_t UnplugAtTransfer = 0;  // counted over both directions; 0: never
    int ReplugAfterMs = -1;         // -1: stays unplugged
    int ReplugDeviceNumber = 0;     // 0: replugged under the number it had
    // In time order. With a plug among them the device is absent at start; each plug brings a
    // new unit (memory, faults and counts afresh) into the same port.
    std::vector<PlugChange> Schedule;
    uint64_t HangAtTransfer = 0; // counted over both directions; 0: never
    int HangForMs = -1;          // -1: hangs until replugged
    std::vector<uint32_t> VerifyMismatches;
    std::vector<uint8_t> Noise; // bytes the device's output starts with, before any frame
    // Result files; "{n}" in a path stands for the device's number, "{a}" for the arrival
    // (from 1) whose unit they describe.
    std::string RecordPath, FlashDumpPath, EepromDumpPath, AuxDumpPath;
};

struct HarnessOptions {
    std::vector<DeviceOptions> Devices{1}; // device K (from 1) is Devices[K - 1]
    int KillAfterS = 60;
    std::string StatsPath;
    bool Quiet = false;
    bool ShowHelp = false;
    std::vector<std::string> Command;
};

// Parses argv (without argv[0]). Returns an empty string on success, else what is wrong.
std::string ParseHarnessOptions(int argc, char** argv, HarnessOptions& options);
const char* HarnessUsage();

} // namespace ktr::sim

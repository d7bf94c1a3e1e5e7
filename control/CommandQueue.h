// One queued command. The queue is a deque so that retiring the head costs the same
// whatever stands behind it; order and head-only retirement are what matter.
#pragma once

#include "LinkFrame.h"

#include <cstdint>
#include <deque>
#include <vector>

namespace ktr {

// A configurator library's completion procedure: one signed 32-bit value, no result.
using PluginCompletion = void (*)(int32_t);

struct CommandEntry {
    uint16_t Length = 0;       // meaningful bytes of Data; the frame's Length is this + 1
    uint8_t Command = cmdPoll; // the frame Type to send
    std::vector<uint8_t> Data; // exactly Length bytes; at most kMaxEntryData
    PluginCompletion Completion = nullptr;
    uint64_t Serial = 0; // tells a head apart from whatever replaces it

    // The first four Data bytes as a little-endian Address (missing bytes read as 0).
    uint32_t Address() const;
    // The BlockRecord Count of a block request (0 when the entry has none).
    uint16_t BlockCount() const;
};

using CommandQueue = std::deque<CommandEntry>;

} // namespace ktr

// The device kinds this program serves: the one table every part asks.
#pragma once

#include <array>
#include <cstdint>

namespace ktr {

struct DeviceKindInfo {
    int Kind;            // the top byte of the signature
    const char* Item;    // ComboBox1 item (UTF-8)
    const char* Caption; // window caption set when a device of the kind is adopted (UTF-8)
    const char* Library; // configurator base name: ktr17cfg -> libktr17cfg.so / ktr17cfg.dll
};
extern const std::array<DeviceKindInfo, 3> kDeviceKinds;

// The kind's entry, or null for a kind this program does not serve (0 included).
const DeviceKindInfo* FindDeviceKind(uint32_t kind);

} // namespace ktr

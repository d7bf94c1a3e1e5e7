// What the link control announces, as data: the reasons and memories its signals carry.
// The operator's log says the same moments in words; code listens to these instead.
#pragma once

#include "LinkFrame.h"

#include <QMetaType>
#include <QString>

#include <optional>

namespace ktr {

enum class Memory { Flash, Eeprom, Aux };

// The memory a block or size Type addresses; none for polls, identification and TCP.
constexpr std::optional<Memory> MemoryOfType(uint8_t type) {
    switch (type & 0xF0) {
    case 0x10:
        return Memory::Flash;
    case 0x20:
        return Memory::Eeprom;
    case 0x30:
        return Memory::Aux;
    default:
        return std::nullopt;
    }
}

// "FLASH", "EEPROM", "AUX": the names the device's documentation and the tool's texts use.
QString MemoryName(Memory memory);

// Why an open link was closed.
enum class LinkCloseReason {
    Operator,   // the disconnect command, or the program closing the link at its end
    Watchdog,   // no valid frame for Timer1's interval
    Fault,      // a transfer failed; a reopen follows after the pause
    DeviceGone, // a transfer failed because the device left the bus; a reopen is still tried
    FaultLimit, // a transfer failed and kLinkFailureLimit faults in a row were reached: no reopen
};

} // namespace ktr

Q_DECLARE_METATYPE(ktr::Memory)
Q_DECLARE_METATYPE(ktr::LinkCloseReason)

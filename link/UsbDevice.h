// The device record and the five operations on it. Every operation reports success as a
// boolean and keeps the raw library result in LastResult; none of them logs.
#pragma once

#include "LinkFrame.h"
#include "UsbBackend.h"

#include <cstdint>
#include <functional>

namespace ktr {

constexpr int kRequestTypeOut = 0x40; // vendor, recipient device
constexpr int kRequestTypeIn = 0xC1;  // vendor, recipient interface
constexpr int kTransferTimeoutMs = 5000;

struct UsbDevice {
    explicit UsbDevice(UsbBackend& backend) : Backend(&backend) {}
    UsbDevice(const UsbDevice&) = delete; // holds a share of the handle
    UsbDevice& operator=(const UsbDevice&) = delete;

    UsbBackend* Backend;
    bool IsOpen = false;
    UsbDeviceInfo Opened; // the device Handle is open on; bus and device 0 with none
    UsbHandlePtr Handle;
    uint16_t VendorId = 0;
    uint16_t ProductId = 0;
    // Picks one of several matching devices by bus and device number; 0 and 0: the first.
    int WantedBus = 0;
    int WantedDevice = 0;
    int32_t LastResult = 0;
    uint8_t TransmitBuffer[kTransmitBufferSize] = {};
    uint8_t ReceiveBuffer[kReceiveBufferSize] = {};
    std::function<void(bool ok)> Done; // the submitted transfer's, until it ends
};

// Lets go of the handle and the device record and initialises the library.
void UsbInit(UsbDevice& dev);
// Opens the first device matching VendorId/ProductId (and WantedBus/WantedDevice when set)
// in bus and device number order. The search ends at the first match: if that one cannot
// be opened, false, and no other is tried.
bool UsbOpen(UsbDevice& dev);
// Lets go of the handle (a transfer in flight on it keeps it open until it ends). False with
// no handle, or when the library's close failed: the handle is gone all the same, as the
// libraries free it whatever their close says.
bool UsbClose(UsbDevice& dev);
// IN (0xC1) into ReceiveBuffer / OUT (0x40) from TransmitBuffer, 5000 ms timeout. With no
// handle: false, LastResult untouched. Otherwise LastResult := result; true when >= 0.
bool UsbReceive(UsbDevice& dev, int request, int value, int index, int size);
bool UsbSend(UsbDevice& dev, int request, int value, int index, int size);
// The same two without waiting: `done(ok)` is called exactly once, after LastResult is set
// (with no handle: at once, false, LastResult untouched). The buffer is in use until then.
// With a backend that completes synchronously, done runs before these return.
void UsbSubmitReceive(UsbDevice& dev, int request, int value, int index, int size,
                      std::function<void(bool ok)> done);
void UsbSubmitSend(UsbDevice& dev, int request, int value, int index, int size,
                   std::function<void(bool ok)> done);
// Ends the transfer in flight: its done has run (false, LastResult -ECANCELED, unless it
// had finished) when this returns.
void UsbCancel(UsbDevice& dev);

} // namespace ktr

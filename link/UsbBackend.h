// The one seam between the link and a USB library, in our own types: the attached devices as
// a list, an open device as a shared handle, a blocking and an asynchronous control transfer.
// LibUsbBackend forwards them to libusb 0.1, LibUsb1Backend to libusb 1.0, and the simulated
// bus in sim/ answers them in-process.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ktr {

// The device family's identity on the bus.
constexpr uint16_t kVendorId = 0x1000;
constexpr uint16_t kProductId = 0x6666;

struct UsbDeviceInfo {
    int Bus = 0;    // bus number, from 1
    int Device = 0; // device number on that bus; a replug gives a new one
    // Where it is plugged in, as sysfs names it ("1-1.2": bus 1, port 1, then port 2 of the
    // hub there): the same after a replug into the same port. Empty when unknown.
    std::string PortPath;
    uint16_t VendorId = 0, ProductId = 0;
    bool Accessible = false; // this user may open it (true when that cannot be told)
};

// An open device. Shared by its opener and every transfer that still uses it; the library's
// handle is closed when the last of them lets go, on whichever thread that is. A handle
// must not outlive the backend that opened it, but for the transfers that backend keeps.
class UsbHandle {
public:
    virtual ~UsbHandle() = default;
    UsbHandle(const UsbHandle&) = delete;
    UsbHandle& operator=(const UsbHandle&) = delete;

protected:
    UsbHandle() = default;
};
using UsbHandlePtr = std::shared_ptr<UsbHandle>;

class UsbBackend {
public:
    virtual ~UsbBackend() = default;
    virtual void Init() = 0;
    // Every attached device with its ids, searched afresh.
    virtual std::vector<UsbDeviceInfo> ListAllDevices() = 0;
    // The attached devices of one family, by bus and device number: what every caller lists.
    std::vector<UsbDeviceInfo> ListDevices(uint16_t vendorId = kVendorId,
                                           uint16_t productId = kProductId);
    // The listed device at info's bus and device number, or null when it cannot be opened.
    virtual UsbHandlePtr Open(const UsbDeviceInfo& device) = 0;
    // Lets go of the caller's share (`handle` is null afterwards): a transfer in flight on it
    // goes on, and the handle closes when it ends. 0, or the library's error when it closed
    // now and the close failed.
    virtual int Close(UsbHandlePtr& handle) {
        handle.reset();
        return 0;
    }
    // A control transfer: bytes transferred, or a negative error code (-errno). Blocks.
    virtual int ControlMsg(UsbHandle& handle, int requestType, int request, int value, int index,
                           char* bytes, int size, int timeoutMs) = 0;

    // The same transfer without waiting for it: `done` is called exactly once, on the thread
    // that submitted, with what ControlMsg would have returned; after a CancelControl, with
    // -ECANCELED. `bytes` must stay valid until then; the transfer holds a share of the
    // handle until it has ended in the library. One transfer at a time: a submit while
    // another is in flight ends at once with -EBUSY (a cancelled one is no longer in
    // flight). This default completes synchronously, before it returns.
    virtual void SubmitControl(const UsbHandlePtr& handle, int requestType, int request, int value,
                               int index, char* bytes, int size, int timeoutMs,
                               std::function<void(int result)> done) {
        done(handle
                 ? ControlMsg(*handle, requestType, request, value, index, bytes, size, timeoutMs)
                 : -EINVAL);
    }
    // Ends the transfer in flight, if any: its `done` has run by the time this returns, with
    // -ECANCELED (or its own result, had it ended before the cancel took hold).
    virtual void CancelControl() {}
    // A backend for one more link beside the others on this one: the same library and devices,
    // its own transfer in flight. This default shares this backend, which must outlive it:
    // enough where transfers never wait.
    virtual std::unique_ptr<UsbBackend> ForAnotherLink();
};

// The real library the program talks to: "libusb1" or "libusb0" when named (null for a
// name not built in), else as the environment's KTR_USB_BACKEND names it, for tests of both,
// else the build's choice.
std::unique_ptr<UsbBackend> NewSystemUsbBackend(std::string_view name = {});

// For the real libraries: whether this user may read and write the device node of bus and
// device number (true when there is no such node to tell by).
bool UsbNodeAccessible(int bus, int device);

} // namespace ktr

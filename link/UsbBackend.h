// The one seam between the link and libusb: the seven calls the link makes, in libusb 0.1's
// terms, plus an asynchronous control transfer. LibUsbBackend forwards them to libusb 0.1,
// LibUsb1Backend maps them onto libusb 1.0, and the simulated bus in sim/ answers them
// in-process. Types are libusb 0.1's own, so every side walks the same bus and device lists.
#pragma once

#include <usb.h>

#include <functional>
#include <memory>
#include <string_view>

namespace ktr {

// The device family's identity on the bus.
constexpr uint16_t kVendorId = 0x1000;
constexpr uint16_t kProductId = 0x6666;

class UsbBackend {
public:
    virtual ~UsbBackend() = default;
    virtual void Init() = 0;                                     // usb_init
    virtual int FindBusses() = 0;                                // usb_find_busses
    virtual int FindDevices() = 0;                               // usb_find_devices
    virtual usb_bus* GetBusses() = 0;                            // usb_get_busses
    virtual usb_dev_handle* Open(struct usb_device* device) = 0; // usb_open: null on failure
    virtual int Close(usb_dev_handle* handle) = 0;               // usb_close: 0 on success
    // usb_control_msg: bytes transferred, or a negative error code (-errno). Blocks.
    virtual int ControlMsg(usb_dev_handle* handle, int requestType, int request, int value,
                           int index, char* bytes, int size, int timeoutMs) = 0;

    // The same transfer without waiting for it: `done` is called exactly once, on the thread
    // that submitted, with what ControlMsg would have returned; after a CancelControl, with
    // -ECANCELED. `bytes` must stay valid until then. One transfer at a time: a submit while
    // another is in flight ends at once with -EBUSY. This default completes synchronously,
    // before it returns, so a backend without its own asynchronous path behaves as before.
    virtual void SubmitControl(usb_dev_handle* handle, int requestType, int request, int value,
                               int index, char* bytes, int size, int timeoutMs,
                               std::function<void(int result)> done) {
        done(ControlMsg(handle, requestType, request, value, index, bytes, size, timeoutMs));
    }
    // Ends the transfer in flight, if any: its `done` has run by the time this returns, with
    // -ECANCELED (or its own result, had it ended before the cancel took hold).
    virtual void CancelControl() {}
};

// The real library the program talks to: "libusb1" or "libusb0" when named (null for a
// name not built in), else the build's choice (KTR_USB_BACKEND).
std::unique_ptr<UsbBackend> NewSystemUsbBackend(std::string_view name = {});

} // namespace ktr

// The one seam between the link and libusb 0.1: exactly the seven calls the link makes.
// LibUsbBackend forwards them to the real library; the simulated bus in sim/ answers them
// in-process. Types are libusb's own, so both sides walk the same bus and device lists.
#pragma once

#include <usb.h>

namespace ktr {

class UsbBackend {
public:
    virtual ~UsbBackend() = default;
    virtual void Init() = 0;                                     // usb_init
    virtual int FindBusses() = 0;                                // usb_find_busses
    virtual int FindDevices() = 0;                               // usb_find_devices
    virtual usb_bus* GetBusses() = 0;                            // usb_get_busses
    virtual usb_dev_handle* Open(struct usb_device* device) = 0; // usb_open: null on failure
    virtual int Close(usb_dev_handle* handle) = 0;               // usb_close: 0 on success
    // usb_control_msg: bytes transferred, or a negative error code (-errno).
    virtual int ControlMsg(usb_dev_handle* handle, int requestType, int request, int value,
                           int index, char* bytes, int size, int timeoutMs) = 0;
};

class LibUsbBackend final : public UsbBackend {
public:
    void Init() override;
    int FindBusses() override;
    int FindDevices() override;
    usb_bus* GetBusses() override;
    usb_dev_handle* Open(struct usb_device* device) override;
    int Close(usb_dev_handle* handle) override;
    int ControlMsg(usb_dev_handle* handle, int requestType, int request, int value, int index,
                   char* bytes, int size, int timeoutMs) override;
};

} // namespace ktr

// An in-process USB bus behind the link's libusb seam: lists, opens and transfers to
// simulated devices exactly where the real library would, for fast tests and benchmarks.
#pragma once

#include "DeviceModel.h"
#include "UsbBackend.h"

#include <QTimer>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <vector>

namespace ktr::sim {

class SimUsbBus final : public UsbBackend {
public:
    SimUsbBus();
    // Plugs a device into bus number `bus` (buses are listed in ascending order).
    void Attach(DeviceModel& model, int bus = 1, uint16_t vendor = kVendorId,
                uint16_t product = kProductId);
    void SetOpenable(const DeviceModel& model, bool openable);
    void FailClose(int count) { failClose_ = count; }
    // A transfer to a hanging device fails with -ETIMEDOUT at once, after calling this with
    // the timeout it asked for (a test advances its clock; a benchmark may sleep).
    void SetHangWait(std::function<void(int timeoutMs)> wait) { hangWait_ = std::move(wait); }
    // Asynchronous hangs: a SubmitControl to a hanging device is held, as a real one would
    // be, until its timeout passes (the transfer's own, or heldTimeoutMs when 0 or more; a
    // timer of the thread's event loop) and then ends with -ETIMEDOUT, or until
    // CancelControl ends it with -ECANCELED. Every other transfer still completes before
    // SubmitControl returns. Off (the default), a hung transfer fails at once as above.
    void HoldHungTransfers(bool hold, int heldTimeoutMs = -1);
    bool HoldsTransfer() const { return bool(held_); }
    // The held transfer times out now, without waiting for its timer.
    void TimeOutHeldTransfer();

    int InitCalls() const { return initCalls_; }
    int OpenCalls() const { return openCalls_; }
    int OpenHandles() const { return int(handles_.size()); }
    // Device that usb_open was last called on, or null.
    const DeviceModel* LastOpened() const { return lastOpened_; }

    void Init() override;
    int FindBusses() override;
    int FindDevices() override;
    usb_bus* GetBusses() override;
    usb_dev_handle* Open(struct usb_device* device) override;
    int Close(usb_dev_handle* handle) override;
    int ControlMsg(usb_dev_handle* handle, int requestType, int request, int value, int index,
                   char* bytes, int size, int timeoutMs) override;
    void SubmitControl(usb_dev_handle* handle, int requestType, int request, int value, int index,
                       char* bytes, int size, int timeoutMs,
                       std::function<void(int result)> done) override;
    void CancelControl() override;

private:
    struct Slot {
        DeviceModel* Model;
        int Bus;
        uint16_t Vendor, Product;
        bool Openable = true;
    };
    struct Handle {
        DeviceModel* Model;
    };
    std::vector<Slot> slots_;
    // Lists rebuilt by FindDevices when the present devices change; kept stable in memory
    // like libusb's own.
    std::vector<bool> listedPresence_;
    std::list<usb_bus> buses_;
    std::list<struct usb_device> devices_;
    std::map<struct usb_device*, Slot*> deviceSlots_;
    std::map<usb_dev_handle*, std::unique_ptr<Handle>> handles_;
    std::function<void(int)> hangWait_;
    bool holdHangs_ = false;
    int heldTimeoutMs_ = -1;
    std::function<void(int)> held_; // the held transfer's done
    QTimer heldTimer_;
    const DeviceModel* lastOpened_ = nullptr;
    int initCalls_ = 0, openCalls_ = 0, failClose_ = 0;
};

} // namespace ktr::sim

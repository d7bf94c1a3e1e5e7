// An in-process USB bus behind the link's libusb seam: lists, opens and transfers to
// simulated devices exactly where the real library would, for fast tests and benchmarks.
#pragma once

#include "DeviceModel.h"
#include "UsbBackend.h"

#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ktr::sim {

class SimUsbBus final : public UsbBackend {
public:
    SimUsbBus();
    SimUsbBus(const SimUsbBus&) = delete; // its handles point back to it
    SimUsbBus& operator=(const SimUsbBus&) = delete;
    // Plugs a device into bus number `bus`: the next port of that bus ("1-1", "1-2", ...)
    // and the next device number (from 2, after the root hub's 1).
    void Attach(DeviceModel& model, int bus = 1, uint16_t vendor = kVendorId,
                uint16_t product = kProductId);
    // Not openable: listed as not accessible, and every open fails.
    void SetOpenable(const DeviceModel& model, bool openable);
    void SetPortPath(const DeviceModel& model, std::string portPath);
    // A close that fails (the handle is gone all the same).
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
    int OpenHandles() const { return openHandles_; } // held by a user or a transfer
    // Device that usb_open was last called on, or null.
    const DeviceModel* LastOpened() const { return lastOpened_; }

    void Init() override;
    std::vector<UsbDeviceInfo> ListAllDevices() override; // the present devices
    UsbHandlePtr Open(const UsbDeviceInfo& device) override;
    int Close(UsbHandlePtr& handle) override;
    int ControlMsg(UsbHandle& handle, int requestType, int request, int value, int index,
                   char* bytes, int size, int timeoutMs) override;
    void SubmitControl(const UsbHandlePtr& handle, int requestType, int request, int value,
                       int index, char* bytes, int size, int timeoutMs,
                       std::function<void(int result)> done) override;
    void CancelControl() override;

private:
    struct Slot {
        DeviceModel* Model;
        UsbDeviceInfo Info;
    };
    class Handle;
    int openHandles_ = 0; // first, so that it outlives the handles held here
    std::vector<Slot> slots_;
    std::function<void(int)> hangWait_;
    bool holdHangs_ = false;
    int heldTimeoutMs_ = -1;
    std::function<void(int)> held_; // the held transfer's done
    UsbHandlePtr heldHandle_;       // its share of the handle
    QTimer heldTimer_;
    const DeviceModel* lastOpened_ = nullptr;
    int initCalls_ = 0, openCalls_ = 0, failClose_ = 0;
};

} // namespace ktr::sim

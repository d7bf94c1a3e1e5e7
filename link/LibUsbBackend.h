// The seam on libusb 0.1. Every call of that library blocks, so SubmitControl runs the
// transfer on a worker thread, and its done comes back through the event loop of the thread
// that submitted (woken by an eventfd): one emulated or kernel call per transfer, as the
// blocking call makes. A cancel cannot reach into usb_control_msg: the transfer is given up
// on (its done runs with -ECANCELED at once), its worker is left to finish the call alone
// and the next transfer gets a new one. The given-up transfer keeps its share of the
// handle, so the handle is closed by whoever lets go last: the opener, or that worker when
// its call returns. Every other call runs on the caller's thread.
#pragma once

#include "UsbBackend.h"

#include <memory>

class QSocketNotifier;

namespace ktr {

class LibUsbBackend final : public UsbBackend {
public:
    LibUsbBackend();
    ~LibUsbBackend() override; // a transfer in flight is given up on without its done
    LibUsbBackend(const LibUsbBackend&) = delete;
    LibUsbBackend& operator=(const LibUsbBackend&) = delete;

    void Init() override;
    // Port paths come from sysfs: the entry of /sys/bus/usb/devices with the same bus and
    // device number.
    std::vector<UsbDeviceInfo> ListAllDevices() override;
    UsbHandlePtr Open(const UsbDeviceInfo& device) override; // from the last listing
    int Close(UsbHandlePtr& handle) override; // usb_close's result when it closes now
    int ControlMsg(UsbHandle& handle, int requestType, int request, int value, int index,
                   char* bytes, int size, int timeoutMs) override;
    void SubmitControl(const UsbHandlePtr& handle, int requestType, int request, int value,
                       int index, char* bytes, int size, int timeoutMs,
                       std::function<void(int result)> done) override;
    void CancelControl() override;
    std::unique_ptr<UsbBackend> ForAnotherLink() override {
        return std::make_unique<LibUsbBackend>();
    }

private:
    struct Flight;
    struct Worker;
    struct Bell;

    void Rung();
    void Deliver(const std::shared_ptr<Flight>& flight);

    std::shared_ptr<Bell> bell_; // in the submitting thread: where results are announced
    std::unique_ptr<QSocketNotifier> bellNotifier_;
    std::shared_ptr<Worker> worker_;
    std::shared_ptr<Flight> current_; // the transfer whose done is still owed
    bool linking_ = false;            // has opened a device
};

} // namespace ktr

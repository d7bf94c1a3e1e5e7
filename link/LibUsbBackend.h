// The seam on libusb 0.1. Every call of that library blocks, so SubmitControl runs the
// transfer on a worker thread and hands its done back through the event loop of the thread
// that submitted: one emulated or kernel call per transfer, as the blocking call makes.
// A cancel cannot reach into usb_control_msg: the transfer is given up on (its done runs
// with -ECANCELED at once), the worker is left to finish the call alone, and a handle it
// still uses is closed by that worker when the call returns. Every other call runs on the
// caller's thread, as before.
#pragma once

#include "UsbBackend.h"

#include <memory>
#include <utility>
#include <vector>

class QObject;

namespace ktr {

class LibUsbBackend final : public UsbBackend {
public:
    LibUsbBackend();
    ~LibUsbBackend() override; // a transfer in flight is given up on without its done
    LibUsbBackend(const LibUsbBackend&) = delete;
    LibUsbBackend& operator=(const LibUsbBackend&) = delete;

    void Init() override;
    int FindBusses() override;
    int FindDevices() override;
    usb_bus* GetBusses() override;
    usb_dev_handle* Open(struct usb_device* device) override;
    int Close(usb_dev_handle* handle) override; // gives up a transfer in flight on it first
    int ControlMsg(usb_dev_handle* handle, int requestType, int request, int value, int index,
                   char* bytes, int size, int timeoutMs) override;
    void SubmitControl(usb_dev_handle* handle, int requestType, int request, int value, int index,
                       char* bytes, int size, int timeoutMs,
                       std::function<void(int result)> done) override;
    void CancelControl() override;

private:
    struct Flight;
    struct Worker;

    void Deliver(const std::shared_ptr<Flight>& flight);
    void RetireWorker(usb_dev_handle* stillUsing);

    std::unique_ptr<QObject> receiver_; // in the submitting thread: where results arrive
    std::shared_ptr<Worker> worker_;
    std::shared_ptr<Flight> current_; // the transfer whose done is still owed
    // Workers left inside a given-up transfer, with the handle they still use.
    std::vector<std::pair<usb_dev_handle*, std::weak_ptr<Worker>>> retired_;
};

} // namespace ktr

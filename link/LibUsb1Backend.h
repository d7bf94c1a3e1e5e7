// The seam on libusb 1.0. SubmitControl runs asynchronously: libusb's descriptors and
// timeouts are watched by the thread's Qt event loop, and the transfer's done runs from that
// loop (never from inside libusb, so it may start transfers, open, close or spin a nested
// loop). A transfer given up on by a cancel keeps its share of the handle until libusb is
// done with it; like every done, it lets go only outside libusb's event handling, where
// libusb_close may run. Not thread-safe: every call on the thread that made the first Init.
#pragma once

#include "UsbBackend.h"

#include <QTimer>

#include <map>
#include <memory>
#include <vector>

struct libusb_context;
struct libusb_transfer;
class QSocketNotifier;

namespace ktr {

class LibUsb1Backend final : public UsbBackend {
public:
    LibUsb1Backend();
    ~LibUsb1Backend() override; // ends a transfer in flight without calling its done
    LibUsb1Backend(const LibUsb1Backend&) = delete;
    LibUsb1Backend& operator=(const LibUsb1Backend&) = delete;

    // The first call creates the library context (needs the thread's event loop set up, as
    // any QSocketNotifier does); later calls do nothing. If libusb cannot start, every
    // search finds nothing.
    void Init() override;
    std::vector<UsbDeviceInfo> ListAllDevices() override; // port paths: libusb's port numbers
    UsbHandlePtr Open(const UsbDeviceInfo& device) override;
    int ControlMsg(UsbHandle& handle, int requestType, int request, int value, int index,
                   char* bytes, int size, int timeoutMs) override;
    void SubmitControl(const UsbHandlePtr& handle, int requestType, int request, int value,
                       int index, char* bytes, int size, int timeoutMs,
                       std::function<void(int result)> done) override;
    void CancelControl() override;
    std::unique_ptr<UsbBackend> ForAnotherLink() override {
        return std::make_unique<LibUsb1Backend>();
    }

private:
    struct Flight;
    struct Watch {
        std::unique_ptr<QSocketNotifier> Read, Write;
    };

    static void OnTransfer(libusb_transfer* transfer);
    static void OnFdAdded(int fd, short events, void* self);
    static void OnFdRemoved(int fd, void* self);
    void HandleEvents();
    void Deliver();
    void FreeEndedOrphans();
    void ArmTimeout();
    void WatchDeviceFds(bool on);

    libusb_context* context_ = nullptr;
    std::map<int, Watch> watches_;
    QTimer timeout_;
    Flight* current_ = nullptr;    // the transfer whose done is still owed
    std::vector<Flight*> orphans_; // given up on by a cancel, until libusb has ended them
};

} // namespace ktr

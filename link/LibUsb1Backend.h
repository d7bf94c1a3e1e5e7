// The seam on libusb 1.0. Enumeration is handed out as libusb 0.1's bus and device lists, so
// the link's search is the same on either library; a usb_dev_handle* is really the 1.0
// handle. SubmitControl runs asynchronously: libusb's descriptors and timeouts are watched
// by the thread's Qt event loop, and the transfer's done runs from that loop (never from
// inside libusb, so it may start transfers, open, close or spin a nested loop). Not
// thread-safe: every call on the thread that made the first Init.
#pragma once

#include "UsbBackend.h"

#include <QTimer>

#include <list>
#include <map>
#include <memory>
#include <vector>

struct libusb_context;
struct libusb_device;
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
    int FindBusses() override;  // 0: the device search alone finds everything
    int FindDevices() override; // lists rebuilt when the attached devices changed
    usb_bus* GetBusses() override;
    usb_dev_handle* Open(struct usb_device* device) override;
    int Close(usb_dev_handle* handle) override; // cancels a transfer in flight on it first
    int ControlMsg(usb_dev_handle* handle, int requestType, int request, int value, int index,
                   char* bytes, int size, int timeoutMs) override;
    void SubmitControl(usb_dev_handle* handle, int requestType, int request, int value, int index,
                       char* bytes, int size, int timeoutMs,
                       std::function<void(int result)> done) override;
    void CancelControl() override;

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
    void ArmTimeout();
    void WatchDeviceFds(bool on);
    void DropLists();

    libusb_context* context_ = nullptr;
    std::map<int, Watch> watches_;
    QTimer timeout_;
    Flight* current_ = nullptr;    // the transfer whose done is still owed
    std::vector<Flight*> orphans_; // given up on by a cancel, still in libusb's hands
    std::vector<libusb_device*> listed_;
    std::list<usb_bus> buses_;
    std::list<struct usb_device> devices_;
};

} // namespace ktr

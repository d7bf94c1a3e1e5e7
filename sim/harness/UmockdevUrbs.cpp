// The URB ioctls of libusb 1.0, answered from the same device model, latency and faults as
// the synchronous control ioctl of libusb 0.1.
//
// Under umockdev the program's fd of an emulated node is a regular file: poll() reports it
// readable and writable at once, always (measured: ready about 6,000 times a second, each
// pass a REAPURBNDELAY answered EAGAIN, while a URB was in flight). A REAPURBNDELAY that
// finds nothing while URBs are in flight therefore waits up to kReapHoldUs for one to
// complete, as a kernel fd would keep poll() waiting: the program's event loop turns about
// a thousand times a second instead of spinning, and a completion still reaches it at once.
// A URB has no timeout of its own: libusb discards it when its timeout passes, so a hung URB
// simply stays in flight until DISCARDURB, and is then reaped with -ENOENT, as usbfs does.
#include "UmockdevDevice.h"

#include "UsbDevice.h"

#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace ktr::sim {

namespace {

constexpr int kSetupPacketBytes = 8;
constexpr std::chrono::microseconds kReapHoldUs{1000};

void Fail(UMockdevIoctlClient* client, int error) {
    umockdev_ioctl_client_complete(client, -1, error);
}

} // namespace

gboolean UmockdevDevice::HandleSubmitUrb(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    uint64_t address = 0;
    std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, size_t(arg->data_len)));
    GError* error = nullptr;
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (!urbData) {
        g_clear_error(&error);
        Fail(client, EFAULT);
        return TRUE;
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->endpoint != 0 ||
        urb->buffer_length < kSetupPacketBytes) {
        g_object_unref(urbData);
        Fail(client, EINVAL); // the link uses control transfers on the default endpoint only
        return TRUE;
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                            size_t(urb->buffer_length), &error);
    if (!buffer) {
        g_clear_error(&error);
        g_object_unref(urbData);
        Fail(client, EFAULT);
        return TRUE;
    }
    const uint8_t* setup = buffer->data;
    const uint8_t requestType = setup[0], request = setup[1];
    const uint16_t value = uint16_t(setup[2] | setup[3] << 8);
    const uint16_t index = uint16_t(setup[4] | setup[5] << 8);
    const int length =
        std::min(int(setup[6] | setup[7] << 8), urb->buffer_length - kSetupPacketBytes);

    Outcome outcome{-EPIPE}; // the device stalls what it does not understand
    if (request == 0 && value == 0 && index == 0 &&
        (requestType == kRequestTypeOut || requestType == kRequestTypeIn))
        outcome = Transfer(client, requestType == kRequestTypeIn ? Direction::In : Direction::Out,
                           buffer->data + kSetupPacketBytes, length, -1);

    std::lock_guard lock(mutex_);
    if (!model_.Present()) { // a gone device takes no URBs
        g_object_unref(buffer);
        g_object_unref(urbData);
        Fail(client, ENODEV);
        return TRUE;
    }
    g_object_ref(client);
    auto entry = std::make_shared<Urb>(Urb{client, address, urbData, buffer});
    urbs_[client].InFlight.push_back(entry);
    umockdev_ioctl_client_complete(client, 0, 0);
    if (outcome.Hangs) return TRUE; // until DISCARDURB
    const int status = std::min(outcome.Result, 0);
    const int actual = std::max(outcome.Result, 0);
    if (options_.LatencyUs == 0) {
        FinishUrb(entry, status, actual);
    } else {
        later_.After(std::chrono::microseconds(options_.LatencyUs), [this, entry, status, actual] {
            std::lock_guard lock(mutex_);
            if (!entry->Done) FinishUrb(entry, status, actual);
        });
    }
    return TRUE;
}

void UmockdevDevice::FinishUrb(const std::shared_ptr<Urb>& urb, int status, int actualLength) {
    urb->Done = true;
    urb->Status = status;
    urb->ActualLength = actualLength;
    ClientUrbs& urbs = urbs_[urb->Client];
    urbs.InFlight.erase(std::find(urbs.InFlight.begin(), urbs.InFlight.end(), urb));
    if (UMockdevIoctlClient* reaper = std::exchange(urbs.WaitingReaper, nullptr)) {
        ++urbs.ReaperTicket;
        AnswerReap(reaper, urb);
        g_object_unref(reaper);
        return;
    }
    urbs.Reapable.push_back(urb);
}

// The reaper's argument points at the program's URB pointer: it is set to the URB that was
// submitted, whose status, length and data travel back with it.
void UmockdevDevice::AnswerReap(UMockdevIoctlClient* reaper, const std::shared_ptr<Urb>& urb) {
    auto* header = reinterpret_cast<usbdevfs_urb*>(urb->UrbData->data);
    header->status = urb->Status;
    header->actual_length = urb->ActualLength;
    GError* error = nullptr;
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(reaper),
                                                             0, sizeof(void*), &error);
    if (!pointer) {
        g_clear_error(&error);
        Fail(reaper, EFAULT);
    } else {
        umockdev_ioctl_data_set_ptr(pointer, 0, urb->UrbData);
        umockdev_ioctl_client_complete(reaper, 0, 0);
        g_object_unref(pointer);
    }
    g_object_unref(urb->Buffer);
    g_object_unref(urb->UrbData);
    g_object_unref(urb->Client);
    urb->Buffer = nullptr;
    urb->UrbData = nullptr;
}

gboolean UmockdevDevice::HandleReapUrb(UMockdevIoctlClient* client, bool wait) {
    std::lock_guard lock(mutex_);
    ClientUrbs& urbs = urbs_[client];
    if (!urbs.Reapable.empty()) {
        const std::shared_ptr<Urb> urb = urbs.Reapable.front();
        urbs.Reapable.pop_front();
        AnswerReap(client, urb);
    } else if (!model_.Present() && urbs.InFlight.empty()) {
        Fail(client, ENODEV);
    } else if (!wait && urbs.InFlight.empty()) {
        Fail(client, EAGAIN);
    } else if (urbs.WaitingReaper) {
        Fail(client, EBUSY); // one fd, one thread in the ioctl at a time
    } else {
        urbs.WaitingReaper = client;
        g_object_ref(client);
        if (!wait)
            later_.After(kReapHoldUs, [this, client, ticket = ++urbs.ReaperTicket] {
                std::lock_guard lock(mutex_);
                const auto it = urbs_.find(client);
                if (it == urbs_.end() || it->second.ReaperTicket != ticket ||
                    it->second.WaitingReaper != client)
                    return;
                it->second.WaitingReaper = nullptr;
                Fail(client, EAGAIN);
                g_object_unref(client);
            });
    }
    return TRUE;
}

gboolean UmockdevDevice::HandleDiscardUrb(UMockdevIoctlClient* client) {
    uint64_t address = 0;
    const UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, size_t(arg->data_len)));
    std::lock_guard lock(mutex_);
    ClientUrbs& urbs = urbs_[client];
    const auto it = std::find_if(urbs.InFlight.begin(), urbs.InFlight.end(),
                                 [&](const auto& urb) { return urb->Address == address; });
    if (it == urbs.InFlight.end()) {
        Fail(client, EINVAL); // done already, or never submitted
        return TRUE;
    }
    const std::shared_ptr<Urb> urb = *it;
    umockdev_ioctl_client_complete(client, 0, 0);
    FinishUrb(urb, -ENOENT, 0);
    return TRUE;
}

// With the mutex held: the fd is gone, and with it every URB it had.
void UmockdevDevice::DropUrbs(UMockdevIoctlClient* client) {
    const auto it = urbs_.find(client);
    if (it == urbs_.end()) return;
    for (auto* list : {&it->second.InFlight, &it->second.Reapable})
        for (const std::shared_ptr<Urb>& urb : *list) {
            urb->Done = true;
            if (urb->Buffer) g_object_unref(urb->Buffer);
            if (urb->UrbData) g_object_unref(urb->UrbData);
            g_object_unref(urb->Client);
            urb->Buffer = urb->UrbData = nullptr;
        }
    it->second.InFlight.clear();
    it->second.Reapable.clear();
    if (UMockdevIoctlClient* reaper = std::exchange(it->second.WaitingReaper, nullptr)) {
        ++it->second.ReaperTicket;
        g_object_unref(reaper);
    }
}

} // namespace ktr::sim

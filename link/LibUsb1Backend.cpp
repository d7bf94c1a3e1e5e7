#include "LibUsb1Backend.h"

#include <libusb.h>

#include <QElapsedTimer>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>

namespace ktr {

namespace {

// How long a cancel may take before its transfer is given up on: the link must close at
// once when the operator asks, whatever the device does.
constexpr int kCancelWaitMs = 50;
constexpr int kCancelStepUs = 5000;

int ErrnoOfError(int error) {
    switch (error) {
    case LIBUSB_ERROR_INVALID_PARAM:
        return -EINVAL;
    case LIBUSB_ERROR_ACCESS:
        return -EACCES;
    case LIBUSB_ERROR_NO_DEVICE:
        return -ENODEV;
    case LIBUSB_ERROR_NOT_FOUND:
        return -ENOENT;
    case LIBUSB_ERROR_BUSY:
        return -EBUSY;
    case LIBUSB_ERROR_TIMEOUT:
        return -ETIMEDOUT;
    case LIBUSB_ERROR_OVERFLOW:
        return -EOVERFLOW;
    case LIBUSB_ERROR_PIPE:
        return -EPIPE;
    case LIBUSB_ERROR_INTERRUPTED:
        return -EINTR;
    case LIBUSB_ERROR_NO_MEM:
        return -ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return -ENOSYS;
    default:
        return -EIO;
    }
}

int ResultOfTransfer(const libusb_transfer* transfer) {
    switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return transfer->actual_length;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return -ETIMEDOUT;
    case LIBUSB_TRANSFER_CANCELLED:
        return -ECANCELED;
    case LIBUSB_TRANSFER_STALL:
        return -EPIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return -ENODEV;
    case LIBUSB_TRANSFER_OVERFLOW:
        return -EOVERFLOW;
    default:
        return -EIO;
    }
}

libusb_device_handle* Native(usb_dev_handle* handle) {
    return reinterpret_cast<libusb_device_handle*>(handle);
}

} // namespace

// One submitted transfer with its own buffer (the setup packet comes first, so the caller's
// buffer cannot be handed to libusb as it is).
struct LibUsb1Backend::Flight {
    LibUsb1Backend* Owner = nullptr;
    libusb_transfer* Transfer = nullptr;
    usb_dev_handle* Handle = nullptr;
    std::vector<unsigned char> Buffer;
    char* Bytes = nullptr;
    bool In = false;
    std::function<void(int)> Done;
    int Finished = 0; // set by libusb's callback; an int for handle_events_completed
    int Result = 0;
    bool Orphaned = false; // given up on by a cancel: its callback only frees it
};

LibUsb1Backend::LibUsb1Backend() {
    timeout_.setSingleShot(true);
    QObject::connect(&timeout_, &QTimer::timeout, &timeout_, [this] { HandleEvents(); });
}

LibUsb1Backend::~LibUsb1Backend() {
    if (current_) {
        current_->Done = nullptr;
        CancelControl();
    }
    DropLists();
    if (context_) {
        libusb_set_pollfd_notifiers(context_, nullptr, nullptr, nullptr);
        watches_.clear();
        libusb_exit(context_);
    }
    for (Flight* flight : orphans_) {
        libusb_free_transfer(flight->Transfer);
        delete flight;
    }
}

void LibUsb1Backend::Init() {
    if (context_) return;
    if (libusb_init(&context_) != 0) {
        context_ = nullptr;
        return;
    }
    libusb_set_pollfd_notifiers(context_, &OnFdAdded, &OnFdRemoved, this);
    if (const libusb_pollfd** fds = libusb_get_pollfds(context_)) {
        for (const libusb_pollfd** fd = fds; *fd; ++fd)
            OnFdAdded((*fd)->fd, (*fd)->events, this);
        libusb_free_pollfds(fds);
    }
}

// Completions on usbfs are signalled by a device descriptor turning writable. Under
// umockdev an emulated node is a plain file that always polls ready, so the device
// descriptors are watched only while a transfer is in flight: an idle link costs nothing.
void LibUsb1Backend::OnFdAdded(int fd, short events, void* self) {
    auto* backend = static_cast<LibUsb1Backend*>(self);
    Watch& watch = backend->watches_[fd];
    if (events & POLLIN) {
        watch.Read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(watch.Read.get(), &QSocketNotifier::activated, watch.Read.get(),
                         [backend] { backend->HandleEvents(); });
    }
    if (events & POLLOUT) {
        watch.Write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        watch.Write->setEnabled(backend->current_ != nullptr);
        QObject::connect(watch.Write.get(), &QSocketNotifier::activated, watch.Write.get(),
                         [backend] { backend->HandleEvents(); });
    }
}

// Called inside libusb_close, which may run from a notifier's own signal: the notifiers go
// quiet at once and are deleted later.
void LibUsb1Backend::OnFdRemoved(int fd, void* self) {
    auto* backend = static_cast<LibUsb1Backend*>(self);
    const auto it = backend->watches_.find(fd);
    if (it == backend->watches_.end()) return;
    for (auto* notifier : {it->second.Read.release(), it->second.Write.release()})
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    backend->watches_.erase(it);
}

void LibUsb1Backend::WatchDeviceFds(bool on) {
    for (auto& [fd, watch] : watches_)
        if (watch.Write) watch.Write->setEnabled(on);
}

void LibUsb1Backend::HandleEvents() {
    if (!context_) return;
    timeval zero{0, 0};
    libusb_handle_events_timeout_completed(context_, &zero, nullptr);
    Deliver();
    ArmTimeout();
}

// libusb keeps its timeouts on a timerfd on Linux, which the read watches cover; elsewhere
// it asks to be called when the next one is due.
void LibUsb1Backend::ArmTimeout() {
    timeval next{};
    if (context_ && libusb_get_next_timeout(context_, &next) == 1)
        timeout_.start(int(next.tv_sec * 1000 + (next.tv_usec + 999) / 1000));
    else
        timeout_.stop();
}

void LibUsb1Backend::OnTransfer(libusb_transfer* transfer) {
    auto* flight = static_cast<Flight*>(transfer->user_data);
    if (flight->Orphaned) {
        auto& orphans = flight->Owner->orphans_;
        orphans.erase(std::find(orphans.begin(), orphans.end(), flight));
        libusb_free_transfer(transfer);
        delete flight;
        return;
    }
    flight->Result = ResultOfTransfer(transfer);
    if (flight->In && flight->Result > 0)
        std::memcpy(flight->Bytes, flight->Buffer.data() + LIBUSB_CONTROL_SETUP_SIZE,
                    size_t(flight->Result));
    flight->Finished = 1;
}

// The done of a finished transfer runs here, outside libusb's event handling.
void LibUsb1Backend::Deliver() {
    if (!current_ || !current_->Finished) return;
    Flight* flight = std::exchange(current_, nullptr);
    WatchDeviceFds(false);
    std::function<void(int)> done = std::move(flight->Done);
    const int result = flight->Result;
    libusb_free_transfer(flight->Transfer);
    delete flight;
    if (done) done(result);
}

void LibUsb1Backend::SubmitControl(usb_dev_handle* handle, int requestType, int request, int value,
                                   int index, char* bytes, int size, int timeoutMs,
                                   std::function<void(int result)> done) {
    if (current_) return done(-EBUSY);
    if (!context_ || !handle || size < 0 || size > 0xFFFF) return done(-EINVAL);
    auto* flight = new Flight;
    flight->Owner = this;
    flight->Transfer = libusb_alloc_transfer(0);
    flight->Handle = handle;
    flight->Buffer.resize(LIBUSB_CONTROL_SETUP_SIZE + size_t(size));
    flight->Bytes = bytes;
    flight->In = (requestType & LIBUSB_ENDPOINT_IN) != 0;
    flight->Done = std::move(done);
    libusb_fill_control_setup(flight->Buffer.data(), uint8_t(requestType), uint8_t(request),
                              uint16_t(value), uint16_t(index), uint16_t(size));
    if (!flight->In && size > 0)
        std::memcpy(flight->Buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, bytes, size_t(size));
    libusb_fill_control_transfer(flight->Transfer, Native(handle), flight->Buffer.data(),
                                 &OnTransfer, flight, unsigned(std::max(timeoutMs, 0)));
    const int submitted = libusb_submit_transfer(flight->Transfer);
    if (submitted != 0) {
        std::function<void(int)> failed = std::move(flight->Done);
        libusb_free_transfer(flight->Transfer);
        delete flight;
        return failed(ErrnoOfError(submitted));
    }
    current_ = flight;
    WatchDeviceFds(true);
    ArmTimeout();
}

void LibUsb1Backend::CancelControl() {
    if (!current_) return;
    Flight* flight = current_;
    if (!flight->Finished) {
        libusb_cancel_transfer(flight->Transfer);
        QElapsedTimer waited;
        waited.start();
        while (!flight->Finished && waited.elapsed() < kCancelWaitMs) {
            timeval step{0, kCancelStepUs};
            libusb_handle_events_timeout_completed(context_, &step, &flight->Finished);
        }
    }
    if (flight->Finished) return Deliver();
    // Still in flight: its done is not owed any longer; libusb frees it when it ends.
    current_ = nullptr;
    WatchDeviceFds(false);
    flight->Orphaned = true;
    orphans_.push_back(flight);
    std::function<void(int)> done = std::move(flight->Done);
    if (done) done(-ECANCELED);
}

// ---- Enumeration, in libusb 0.1's shapes ----

int LibUsb1Backend::FindBusses() {
    return 0;
}

// Lists from an earlier search stay valid until a search finds the devices changed, as
// libusb 0.1's do; a device's entry holds a reference to it meanwhile.
int LibUsb1Backend::FindDevices() {
    if (!context_) return 0;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    if (count < 0) return 0;
    std::vector<libusb_device*> found(list, list + count);
    std::sort(found.begin(), found.end(), [](libusb_device* a, libusb_device* b) {
        const auto key = [](libusb_device* d) {
            return std::pair(libusb_get_bus_number(d), libusb_get_device_address(d));
        };
        return key(a) < key(b);
    });
    if (found == listed_) {
        libusb_free_device_list(list, 1);
        return 0;
    }
    DropLists();
    for (libusb_device* device : found)
        libusb_ref_device(device);
    libusb_free_device_list(list, 1);
    listed_ = found;
    usb_bus* bus = nullptr;
    struct usb_device* previous = nullptr;
    for (libusb_device* native : found) {
        const int busNumber = libusb_get_bus_number(native);
        if (!bus || int(bus->location) != busNumber) {
            usb_bus& added = buses_.emplace_back();
            std::memset(&added, 0, sizeof added);
            std::snprintf(added.dirname, sizeof added.dirname, "%03d", busNumber);
            added.location = uint32_t(busNumber);
            added.prev = bus;
            if (bus) bus->next = &added;
            bus = &added;
            previous = nullptr;
        }
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(native, &d);
        struct usb_device& device = devices_.emplace_back();
        std::memset(&device, 0, sizeof device);
        std::snprintf(device.filename, sizeof device.filename, "%03d",
                      libusb_get_device_address(native));
        device.bus = bus;
        device.dev = native;
        device.devnum = libusb_get_device_address(native);
        device.descriptor = {d.bLength,         d.bDescriptorType,   d.bcdUSB,
                             d.bDeviceClass,    d.bDeviceSubClass,   d.bDeviceProtocol,
                             d.bMaxPacketSize0, d.idVendor,          d.idProduct,
                             d.bcdDevice,       d.iManufacturer,     d.iProduct,
                             d.iSerialNumber,   d.bNumConfigurations};
        device.prev = previous;
        if (previous)
            previous->next = &device;
        else
            bus->devices = &device;
        previous = &device;
    }
    return int(found.size());
}

void LibUsb1Backend::DropLists() {
    for (libusb_device* device : listed_)
        libusb_unref_device(device);
    listed_.clear();
    buses_.clear();
    devices_.clear();
}

usb_bus* LibUsb1Backend::GetBusses() {
    return buses_.empty() ? nullptr : &buses_.front();
}

usb_dev_handle* LibUsb1Backend::Open(struct usb_device* device) {
    if (!device || !device->dev) return nullptr;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(static_cast<libusb_device*>(device->dev), &handle) != 0) return nullptr;
    return reinterpret_cast<usb_dev_handle*>(handle);
}

int LibUsb1Backend::Close(usb_dev_handle* handle) {
    if (!handle) return -EINVAL;
    if (current_ && current_->Handle == handle) CancelControl();
    libusb_close(Native(handle));
    return 0;
}

int LibUsb1Backend::ControlMsg(usb_dev_handle* handle, int requestType, int request, int value,
                               int index, char* bytes, int size, int timeoutMs) {
    if (!handle) return -EINVAL;
    const int result = libusb_control_transfer(
        Native(handle), uint8_t(requestType), uint8_t(request), uint16_t(value), uint16_t(index),
        reinterpret_cast<unsigned char*>(bytes), uint16_t(size), unsigned(std::max(timeoutMs, 0)));
    // Its event handling may have finished the transfer in flight too.
    if (current_ && current_->Finished) QTimer::singleShot(0, &timeout_, [this] { Deliver(); });
    return result < 0 ? ErrnoOfError(result) : result;
}

} // namespace ktr

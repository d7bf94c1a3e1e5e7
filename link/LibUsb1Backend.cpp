#include "LibUsb1Backend.h"

#include <libusb.h>

#include <QElapsedTimer>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string>

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

struct Handle1 final : UsbHandle {
    explicit Handle1(libusb_device_handle* native) : Native(native) {}
    ~Handle1() override { libusb_close(Native); }
    libusb_device_handle* const Native;
};

libusb_device_handle* Native(UsbHandle& handle) {
    return static_cast<Handle1&>(handle).Native;
}

// As sysfs names the device: "1-1.2" for port 2 of the hub on port 1 of bus 1.
std::string PortPath(libusb_device* device) {
    const int bus = libusb_get_bus_number(device);
    uint8_t ports[8];
    const int count = libusb_get_port_numbers(device, ports, int(sizeof ports));
    if (count <= 0) return "usb" + std::to_string(bus); // a root hub
    std::string path = std::to_string(bus) + "-";
    for (int i = 0; i < count; ++i)
        path += (i > 0 ? "." : "") + std::to_string(ports[i]);
    return path;
}

} // namespace

// One submitted transfer with its own buffer (the setup packet comes first, so the caller's
// buffer cannot be handed to libusb as it is).
struct LibUsb1Backend::Flight {
    LibUsb1Backend* Owner = nullptr;
    libusb_transfer* Transfer = nullptr;
    UsbHandlePtr Handle;
    std::vector<unsigned char> Buffer;
    char* Bytes = nullptr;
    bool In = false;
    std::function<void(int)> Done;
    int Finished = 0; // set by libusb's callback; an int for handle_events_completed
    int Result = 0;
    bool Orphaned = false; // given up on by a cancel: nothing is owed once it has ended
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
    for (Flight* flight : orphans_)
        flight->Handle.reset(); // libusb drops a transfer still in flight on a closed handle
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
    FreeEndedOrphans();
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
    flight->Finished = 1;
    if (flight->Orphaned) return;
    flight->Result = ResultOfTransfer(transfer);
    if (flight->In && flight->Result > 0)
        std::memcpy(flight->Bytes, flight->Buffer.data() + LIBUSB_CONTROL_SETUP_SIZE,
                    size_t(flight->Result));
}

// Outside libusb's event handling, which holds locks that libusb_close takes: the last share
// of a handle may go with its orphan.
void LibUsb1Backend::FreeEndedOrphans() {
    std::erase_if(orphans_, [](Flight* flight) {
        if (!flight->Finished) return false;
        libusb_free_transfer(flight->Transfer);
        delete flight;
        return true;
    });
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

void LibUsb1Backend::SubmitControl(const UsbHandlePtr& handle, int requestType, int request,
                                   int value, int index, char* bytes, int size, int timeoutMs,
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
    libusb_fill_control_transfer(flight->Transfer, Native(*handle), flight->Buffer.data(),
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
    FreeEndedOrphans();
    if (flight->Finished) return Deliver();
    // Still in flight: its done is not owed any longer; it is freed once libusb ends it.
    current_ = nullptr;
    WatchDeviceFds(false);
    flight->Orphaned = true;
    orphans_.push_back(flight);
    std::function<void(int)> done = std::move(flight->Done);
    if (done) done(-ECANCELED);
}

// ---- Enumeration ----

std::vector<UsbDeviceInfo> LibUsb1Backend::ListAllDevices() {
    std::vector<UsbDeviceInfo> found;
    libusb_device** list = nullptr;
    if (!context_) return found;
    const ssize_t count = libusb_get_device_list(context_, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor descriptor{};
        libusb_get_device_descriptor(device, &descriptor);
        UsbDeviceInfo info;
        info.Bus = libusb_get_bus_number(device);
        info.Device = libusb_get_device_address(device);
        info.PortPath = PortPath(device);
        info.VendorId = descriptor.idVendor;
        info.ProductId = descriptor.idProduct;
        info.Accessible = UsbNodeAccessible(info.Bus, info.Device);
        found.push_back(std::move(info));
    }
    if (count >= 0) libusb_free_device_list(list, 1);
    return found;
}

UsbHandlePtr LibUsb1Backend::Open(const UsbDeviceInfo& wanted) {
    libusb_device** list = nullptr;
    if (!context_) return nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    libusb_device_handle* native = nullptr;
    for (ssize_t i = 0; i < count; ++i)
        if (libusb_get_bus_number(list[i]) == wanted.Bus &&
            libusb_get_device_address(list[i]) == wanted.Device) {
            if (libusb_open(list[i], &native) != 0) native = nullptr;
            break;
        }
    if (count >= 0) libusb_free_device_list(list, 1);
    return native ? std::make_shared<Handle1>(native) : nullptr;
}

int LibUsb1Backend::ControlMsg(UsbHandle& handle, int requestType, int request, int value,
                               int index, char* bytes, int size, int timeoutMs) {
    const int result = libusb_control_transfer(
        Native(handle), uint8_t(requestType), uint8_t(request), uint16_t(value), uint16_t(index),
        reinterpret_cast<unsigned char*>(bytes), uint16_t(size), unsigned(std::max(timeoutMs, 0)));
    // Its event handling may have ended the transfer in flight, or an orphan, too.
    QTimer::singleShot(0, &timeout_, [this] {
        FreeEndedOrphans();
        Deliver();
    });
    return result < 0 ? ErrnoOfError(result) : result;
}

} // namespace ktr

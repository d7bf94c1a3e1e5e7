#include "LibUsbBackend.h"

#include <usb.h>

#include <QSocketNotifier>

#include <dirent.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace ktr {

namespace {

// How long the submitting thread waits for a transfer before it lets its event loop go on.
constexpr std::chrono::microseconds kQuickTransfer{2000};
// Backends that have opened a device, in this process. Links beside each other share a
// thread, so a wait for one link's transfer would hold up the others': only a lone link
// waits.
std::atomic<int> linkingBackends{0};

struct Handle0 final : UsbHandle {
    explicit Handle0(usb_dev_handle* native) : Native(native) {}
    ~Handle0() override {
        if (Native) usb_close(Native);
    }
    usb_dev_handle* Native;
};

// The number in a listed bus's or device's name ("001" -> 1); -1 when it is not one.
int PathNumber(const char* name) {
    char* end = nullptr;
    const long number = std::strtol(name, &end, 10);
    return end != name && *end == '\0' && number >= 0 && number <= INT_MAX ? int(number) : -1;
}

int ReadNumber(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "re");
    if (!file) return -1;
    int number = -1;
    if (std::fscanf(file, "%d", &number) != 1) number = -1;
    std::fclose(file);
    return number;
}

// Each device's sysfs name by its bus and device number (interfaces have neither).
std::map<std::pair<int, int>, std::string> SysfsPortPaths() {
    std::map<std::pair<int, int>, std::string> paths;
    const std::string root = "/sys/bus/usb/devices/";
    DIR* dir = opendir(root.c_str());
    if (!dir) return paths;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string name = entry->d_name;
        const int bus = ReadNumber(root + name + "/busnum");
        const int device = ReadNumber(root + name + "/devnum");
        if (bus > 0 && device > 0) paths[{bus, device}] = name;
    }
    closedir(dir);
    return paths;
}

} // namespace

// One transfer with its own copy of the bytes: after a give-up the caller's buffer may be
// gone while the worker still writes. Its share keeps the handle open for the worker.
struct LibUsbBackend::Flight {
    UsbHandlePtr Handle;
    usb_dev_handle* Native = nullptr;
    int RequestType = 0, Request = 0, Value = 0, Index = 0, TimeoutMs = 0;
    std::vector<char> Buffer;
    char* Bytes = nullptr;
    std::function<void(int)> Done; // the submitting thread's alone
    std::mutex Mutex;              // guards the rest, between the worker and the submitting thread
    std::condition_variable Ended;
    bool Finished = false;
    bool Waiting = false; // the submitter waits for it: no need to ring
    bool GivenUp = false;
    int Result = 0;
};

// Wakes the submitting thread's event loop; a worker that outlives the backend finds it
// silenced.
struct LibUsbBackend::Bell {
    std::mutex Mutex;
    int Fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    void Ring() {
        std::lock_guard lock(Mutex);
        if (Fd < 0) return;
        const uint64_t one = 1;
        // A counter too full to add to has rung already.
        [[maybe_unused]] const ssize_t written = write(Fd, &one, sizeof one);
    }
    void Silence() {
        std::lock_guard lock(Mutex);
        if (Fd >= 0) close(Fd);
        Fd = -1;
    }
};

struct LibUsbBackend::Worker {
    std::mutex Mutex;
    std::condition_variable Wake;
    std::deque<std::function<void()>> Jobs;
    bool Retired = false; // ends once its queue is empty
    std::thread Thread;

    static std::shared_ptr<Worker> Start() {
        auto worker = std::make_shared<Worker>();
        worker->Thread = std::thread(&Worker::Run, worker);
        return worker;
    }
    void Post(std::function<void()> job) {
        {
            std::lock_guard lock(Mutex);
            Jobs.push_back(std::move(job));
        }
        Wake.notify_one();
    }
    void Retire() {
        {
            std::lock_guard lock(Mutex);
            Retired = true;
        }
        Wake.notify_one();
    }
    // Holds its own reference, so a retired worker outlives the backend that started it.
    static void Run(std::shared_ptr<Worker> self) {
        std::unique_lock lock(self->Mutex);
        for (;;) {
            self->Wake.wait(lock, [&] { return !self->Jobs.empty() || self->Retired; });
            if (self->Jobs.empty()) return;
            std::function<void()> job = std::move(self->Jobs.front());
            self->Jobs.pop_front();
            lock.unlock();
            job();
            job = nullptr; // a given-up transfer's share of the handle goes here
            lock.lock();
        }
    }
};

LibUsbBackend::LibUsbBackend() = default;

LibUsbBackend::~LibUsbBackend() {
    if (current_) {
        current_->Done = nullptr;
        CancelControl();
    }
    if (worker_) {
        worker_->Retire();
        worker_->Thread.join(); // idle: it ends at once
    }
    bellNotifier_.reset();
    if (bell_) bell_->Silence();
    if (linking_) --linkingBackends;
}

void LibUsbBackend::Init() {
    usb_init();
}

std::vector<UsbDeviceInfo> LibUsbBackend::ListAllDevices() {
    usb_find_busses();
    usb_find_devices();
    const auto ports = SysfsPortPaths();
    std::vector<UsbDeviceInfo> found;
    for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device* device = bus->devices; device; device = device->next) {
            UsbDeviceInfo info;
            info.Bus = PathNumber(bus->dirname);
            info.Device = PathNumber(device->filename);
            if (const auto port = ports.find({info.Bus, info.Device}); port != ports.end())
                info.PortPath = port->second;
            info.VendorId = device->descriptor.idVendor;
            info.ProductId = device->descriptor.idProduct;
            info.Accessible = UsbNodeAccessible(info.Bus, info.Device);
            found.push_back(std::move(info));
        }
    return found;
}

UsbHandlePtr LibUsbBackend::Open(const UsbDeviceInfo& wanted) {
    for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next) {
        if (PathNumber(bus->dirname) != wanted.Bus) continue;
        for (struct usb_device* device = bus->devices; device; device = device->next)
            if (PathNumber(device->filename) == wanted.Device) {
                usb_dev_handle* native = usb_open(device);
                if (!native) return nullptr;
                if (!linking_) ++linkingBackends;
                linking_ = true;
                return std::make_shared<Handle0>(native);
            }
    }
    return nullptr;
}

int LibUsbBackend::Close(UsbHandlePtr& handle) {
    if (!handle) return -EINVAL;
    int result = 0;
    // The last share closes now, where its result can be told; usb_close frees the handle
    // whatever it returns.
    if (handle.use_count() == 1)
        result = usb_close(std::exchange(static_cast<Handle0&>(*handle).Native, nullptr));
    handle.reset();
    return result;
}

int LibUsbBackend::ControlMsg(UsbHandle& handle, int requestType, int request, int value, int index,
                              char* bytes, int size, int timeoutMs) {
    return usb_control_msg(static_cast<Handle0&>(handle).Native, requestType, request, value, index,
                           bytes, size, timeoutMs);
}

void LibUsbBackend::SubmitControl(const UsbHandlePtr& handle, int requestType, int request,
                                  int value, int index, char* bytes, int size, int timeoutMs,
                                  std::function<void(int result)> done) {
    if (current_) return done(-EBUSY);
    if (!handle || size < 0 || size > 0xFFFF) return done(-EINVAL);
    if (!bell_) {
        bell_ = std::make_shared<Bell>();
        if (bell_->Fd < 0) return done(-errno);
        bellNotifier_ = std::make_unique<QSocketNotifier>(bell_->Fd, QSocketNotifier::Read);
        QObject::connect(bellNotifier_.get(), &QSocketNotifier::activated, bellNotifier_.get(),
                         [this] { Rung(); });
    }
    if (!worker_) worker_ = Worker::Start();
    auto flight = std::make_shared<Flight>();
    flight->Handle = handle;
    flight->Native = static_cast<Handle0&>(*handle).Native;
    flight->RequestType = requestType;
    flight->Request = request;
    flight->Value = value;
    flight->Index = index;
    flight->TimeoutMs = timeoutMs;
    flight->Buffer.assign(bytes, bytes + size);
    flight->Bytes = bytes;
    flight->Done = std::move(done);
    flight->Waiting = true;
    current_ = flight;
    worker_->Post([flight, bell = bell_] {
        const int result = usb_control_msg(flight->Native, flight->RequestType, flight->Request,
                                           flight->Value, flight->Index, flight->Buffer.data(),
                                           int(flight->Buffer.size()), flight->TimeoutMs);
        std::lock_guard lock(flight->Mutex);
        flight->Result = result;
        flight->Finished = true;
        if (flight->Waiting)
            flight->Ended.notify_one();
        else if (!flight->GivenUp)
            bell->Ring();
    });
    // A transfer that ends within a moment is delivered before this returns, as the blocking
    // call would: a trip through the event loop costs more than the transfer itself.
    std::unique_lock lock(flight->Mutex);
    if (linkingBackends.load() <= 1)
        flight->Ended.wait_for(lock, kQuickTransfer, [&] { return flight->Finished; });
    // Finished while this waited or not: the worker rang no bell for it.
    const bool quick = flight->Finished;
    flight->Waiting = false;
    lock.unlock();
    if (quick) Deliver(flight);
}

void LibUsbBackend::Rung() {
    uint64_t count = 0;
    if (read(bell_->Fd, &count, sizeof count) < 0 && errno != EAGAIN) return;
    if (!current_) return;
    const std::shared_ptr<Flight> flight = current_;
    bool finished = false;
    {
        std::lock_guard lock(flight->Mutex);
        finished = flight->Finished;
    }
    if (finished) Deliver(flight);
}

// On the submitting thread, for a finished flight; one given up on meanwhile is no longer
// current.
void LibUsbBackend::Deliver(const std::shared_ptr<Flight>& flight) {
    if (current_ != flight) return;
    current_.reset();
    int result = 0;
    {
        std::lock_guard lock(flight->Mutex);
        result = flight->Result;
        if ((flight->RequestType & USB_ENDPOINT_IN) && result > 0)
            std::memcpy(flight->Bytes, flight->Buffer.data(),
                        std::min(size_t(result), flight->Buffer.size()));
    }
    std::function<void(int)> done = std::move(flight->Done);
    if (done) done(result);
}

void LibUsbBackend::CancelControl() {
    if (!current_) return;
    const std::shared_ptr<Flight> flight = current_;
    bool givenUp = false;
    {
        std::lock_guard lock(flight->Mutex);
        givenUp = flight->GivenUp = !flight->Finished;
    }
    if (!givenUp) return Deliver(flight); // it had ended: its own result
    current_.reset();
    // The worker is still inside the call: it ends on its own when the call returns, and
    // the next transfer gets a new one rather than queueing behind a hang.
    worker_->Retire();
    worker_->Thread.detach();
    worker_.reset();
    std::function<void(int)> done = std::move(flight->Done);
    if (done) done(-ECANCELED);
}

} // namespace ktr

#include "LibUsbBackend.h"

#include <QObject>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace ktr {

namespace {
// How long the submitting thread waits for a transfer before it lets its event loop go on.
constexpr std::chrono::microseconds kQuickTransfer{2000};
} // namespace

// One transfer with its own copy of the bytes: after a give-up the caller's buffer may be
// gone while the worker still writes.
struct LibUsbBackend::Flight {
    usb_dev_handle* Handle = nullptr;
    int RequestType = 0, Request = 0, Value = 0, Index = 0, TimeoutMs = 0;
    std::vector<char> Buffer;
    char* Bytes = nullptr;
    std::function<void(int)> Done;
    std::mutex Mutex; // guards the four below, between the worker and the submitting thread
    std::condition_variable Ended;
    bool Finished = false;
    bool Waiting = false; // the submitter waits for it: no need to post the result
    bool GivenUp = false;
    int Result = 0;
};

struct LibUsbBackend::Worker {
    std::mutex Mutex;
    std::condition_variable Wake;
    std::deque<std::function<void()>> Jobs;
    bool Retired = false; // ends once its queue is empty
    bool Ended = false;
    std::thread Thread;

    static std::shared_ptr<Worker> Start() {
        auto worker = std::make_shared<Worker>();
        worker->Thread = std::thread(&Worker::Run, worker);
        return worker;
    }
    // False if the thread has ended already.
    bool Post(std::function<void()> job) {
        {
            std::lock_guard lock(Mutex);
            if (Ended) return false;
            Jobs.push_back(std::move(job));
        }
        Wake.notify_one();
        return true;
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
            if (self->Jobs.empty()) {
                self->Ended = true;
                return;
            }
            std::function<void()> job = std::move(self->Jobs.front());
            self->Jobs.pop_front();
            lock.unlock();
            job();
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
}

void LibUsbBackend::Init() {
    usb_init();
}
int LibUsbBackend::FindBusses() {
    return usb_find_busses();
}
int LibUsbBackend::FindDevices() {
    return usb_find_devices();
}
usb_bus* LibUsbBackend::GetBusses() {
    return usb_get_busses();
}
usb_dev_handle* LibUsbBackend::Open(struct usb_device* device) {
    return usb_open(device);
}

int LibUsbBackend::Close(usb_dev_handle* handle) {
    if (current_ && current_->Handle == handle) CancelControl();
    std::erase_if(retired_, [](const auto& entry) { return entry.second.expired(); });
    for (auto it = retired_.begin(); it != retired_.end(); ++it)
        if (const std::shared_ptr<Worker> worker = it->second.lock();
            worker && it->first == handle && worker->Post([handle] { usb_close(handle); })) {
            retired_.erase(it);
            return 0;
        }
    return usb_close(handle);
}

int LibUsbBackend::ControlMsg(usb_dev_handle* handle, int requestType, int request, int value,
                              int index, char* bytes, int size, int timeoutMs) {
    return usb_control_msg(handle, requestType, request, value, index, bytes, size, timeoutMs);
}

void LibUsbBackend::SubmitControl(usb_dev_handle* handle, int requestType, int request, int value,
                                  int index, char* bytes, int size, int timeoutMs,
                                  std::function<void(int result)> done) {
    if (current_) return done(-EBUSY);
    if (!handle || size < 0 || size > 0xFFFF) return done(-EINVAL);
    if (!receiver_) receiver_ = std::make_unique<QObject>();
    if (!worker_) worker_ = Worker::Start();
    auto flight = std::make_shared<Flight>();
    flight->Handle = handle;
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
    worker_->Post([this, flight, receiver = receiver_.get()] {
        const int result = usb_control_msg(flight->Handle, flight->RequestType, flight->Request,
                                           flight->Value, flight->Index, flight->Buffer.data(),
                                           int(flight->Buffer.size()), flight->TimeoutMs);
        // Posted under the flight's lock: once a give-up holds it, nothing more is posted,
        // and what was posted before dies with the receiver.
        std::lock_guard lock(flight->Mutex);
        flight->Result = result;
        flight->Finished = true;
        if (flight->Waiting)
            flight->Ended.notify_one();
        else if (!flight->GivenUp)
            QMetaObject::invokeMethod(
                receiver, [this, flight] { Deliver(flight); }, Qt::QueuedConnection);
    });
    // A transfer that ends within a moment is delivered before this returns, as the blocking
    // call would: a trip through the event loop costs more than the transfer itself.
    std::unique_lock lock(flight->Mutex);
    const bool quick =
        flight->Ended.wait_for(lock, kQuickTransfer, [&] { return flight->Finished; });
    flight->Waiting = false;
    lock.unlock();
    if (quick) Deliver(flight);
}

// On the submitting thread; a flight given up on meanwhile is no longer current.
void LibUsbBackend::Deliver(const std::shared_ptr<Flight>& flight) {
    if (current_ != flight) return;
    current_.reset();
    const int result = flight->Result;
    if ((flight->RequestType & USB_ENDPOINT_IN) && result > 0)
        std::memcpy(flight->Bytes, flight->Buffer.data(),
                    std::min(size_t(result), flight->Buffer.size()));
    std::function<void(int)> done = std::move(flight->Done);
    if (done) done(result);
}

void LibUsbBackend::CancelControl() {
    if (!current_) return;
    const std::shared_ptr<Flight> flight = current_;
    {
        std::lock_guard lock(flight->Mutex);
        if (!flight->Finished) flight->GivenUp = true;
    }
    if (!flight->GivenUp) return Deliver(flight); // it had ended: its own result
    current_.reset();
    RetireWorker(flight->Handle);
    std::function<void(int)> done = std::move(flight->Done);
    if (done) done(-ECANCELED);
}

// The worker is still inside a call: it ends on its own when the call returns, and the next
// transfer gets a new one rather than queueing behind a hang.
void LibUsbBackend::RetireWorker(usb_dev_handle* stillUsing) {
    worker_->Retire();
    worker_->Thread.detach();
    retired_.emplace_back(stillUsing, worker_);
    worker_.reset();
}

} // namespace ktr

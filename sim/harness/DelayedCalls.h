// Runs calls at their due times on a thread of its own, so that no device's latency or hang
// holds up the umockdev worker thread that serves its ioctls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace ktr::sim {

class DelayedCalls {
public:
    using Clock = std::chrono::steady_clock;

    DelayedCalls();
    // Calls that are not yet due are dropped, not run.
    ~DelayedCalls();
    DelayedCalls(const DelayedCalls&) = delete;
    DelayedCalls& operator=(const DelayedCalls&) = delete;

    // Runs `call` on the thread once `delay` has passed, or at `due`; calls due at the same
    // time run in the order they were given. A call must not block: it holds up every later
    // one.
    void After(std::chrono::microseconds delay, std::function<void()> call);
    void At(Clock::time_point due, std::function<void()> call);
    // Ends the thread; calls not yet due are dropped. Later calls given are dropped too.
    void Stop();

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<Clock::time_point, std::function<void()>> calls_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace ktr::sim

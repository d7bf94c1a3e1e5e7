#include "DelayedCalls.h"

namespace ktr::sim {

DelayedCalls::DelayedCalls() : thread_([this] { Run(); }) {}

DelayedCalls::~DelayedCalls() {
    Stop();
}

void DelayedCalls::After(std::chrono::microseconds delay, std::function<void()> call) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        calls_.emplace(Clock::now() + delay, std::move(call));
    }
    wake_.notify_one();
}

void DelayedCalls::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        calls_.clear();
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void DelayedCalls::Run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (calls_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto first = calls_.begin();
        if (first->first > Clock::now()) {
            wake_.wait_until(lock, first->first);
            continue;
        }
        std::function<void()> call = std::move(first->second);
        calls_.erase(first);
        lock.unlock();
        call();
        lock.lock();
    }
}

} // namespace ktr::sim

#include "DelayedCalls.h"

namespace ktr::sim {

DelayedCalls::DelayedCalls() : thread_([this] { Run(); }) {}

DelayedCalls::~DelayedCalls() {
    Stop();
}

void DelayedCalls::After(std::chrono::microseconds delay, std::function<void()> call) {
    At(Clock::now() + delay, std::move(call));
}

void DelayedCalls::At(Clock::time_point due, std::function<void()> call) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        calls_.emplace(due, std::move(call));
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
        // A copy: Stop() may clear the calls while this thread waits.
        if (const Clock::time_point due = first->first; due > Clock::now()) {
            wake_.wait_until(lock, due);
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

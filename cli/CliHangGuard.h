// The command's answer to signals and to its deadline, kept even while the main thread is
// stuck inside a USB transfer: a thread of its own reads the signals, hands them to the
// event loop, and ends the program itself when the loop does not answer in time.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace ktr::cli {

class HangGuard {
public:
    struct Handlers {
        // On the main thread, through its event loop: a signal, or the deadline.
        std::function<void(int signal)> Signal;
        std::function<void()> Deadline;
        // On the guard's thread, when the main thread has not finished within the grace
        // after either: prints the result and returns the exit status the program then ends
        // with at once. Null or a negative status: wait on.
        std::function<int(int signal)> Abandon; // signal 0: the deadline
    };
    // signalFd: the read end of the signal handler's pipe. deadlineS 0: none.
    HangGuard(int signalFd, int deadlineS, int graceMs, Handlers handlers);
    ~HangGuard(); // Done() and joins
    // The command has ended on the main thread: nothing is abandoned any more.
    void Done();

private:
    void Watch();

    int signalFd_;
    int deadlineS_;
    int graceMs_;
    Handlers handlers_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    int wakeFd_[2] = {-1, -1}; // Done() wakes the thread out of its poll
    std::thread thread_;
};

} // namespace ktr::cli

#include "CliHangGuard.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <chrono>
#include <poll.h>
#include <unistd.h>

namespace ktr::cli {

HangGuard::HangGuard(int signalFd, int deadlineS, int graceMs, Handlers handlers)
    : signalFd_(signalFd), deadlineS_(deadlineS), graceMs_(graceMs),
      handlers_(std::move(handlers)) {
    if (pipe(wakeFd_) != 0) wakeFd_[0] = wakeFd_[1] = -1;
    thread_ = std::thread([this] { Watch(); });
}

HangGuard::~HangGuard() {
    Done();
    thread_.join();
    for (int fd : wakeFd_)
        if (fd >= 0) close(fd);
}

void HangGuard::Done() {
    {
        const std::lock_guard lock(mutex_);
        if (done_) return;
        done_ = true;
    }
    finished_.notify_all();
    if (wakeFd_[1] >= 0) [[maybe_unused]]
        const ssize_t n = write(wakeFd_[1], "x", 1);
}

void HangGuard::Watch() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        deadlineS_ > 0 ? Clock::now() + std::chrono::seconds(deadlineS_) : Clock::time_point::max();
    QObject* app = QCoreApplication::instance();
    int firstSignal = -1; // -1: nothing yet; 0: the deadline
    Clock::time_point abandonAt = Clock::time_point::max();
    for (;;) {
        const Clock::time_point wake = std::min(deadline, abandonAt);
        int timeoutMs = -1;
        if (wake != Clock::time_point::max())
            timeoutMs = int(std::max<int64_t>(
                0,
                std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count() +
                    1));
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
        poll(fds, 2, timeoutMs);
        {
            const std::lock_guard lock(mutex_);
            if (done_) return;
        }
        if (fds[0].revents & POLLIN) {
            char signal = 0;
            if (read(signalFd_, &signal, 1) == 1) {
                QMetaObject::invokeMethod(
                    app, [this, signal] { handlers_.Signal(signal); }, Qt::QueuedConnection);
                if (firstSignal < 0) {
                    firstSignal = signal;
                    abandonAt = Clock::now() + std::chrono::milliseconds(graceMs_);
                }
            }
        }
        const Clock::time_point now = Clock::now();
        if (firstSignal < 0 && now >= deadline) {
            QMetaObject::invokeMethod(
                app, [this] { handlers_.Deadline(); }, Qt::QueuedConnection);
            firstSignal = 0;
            abandonAt = now + std::chrono::milliseconds(graceMs_);
        }
        if (now >= abandonAt) {
            abandonAt = Clock::time_point::max();
            const std::lock_guard lock(mutex_);
            if (done_) return;
            const int status = handlers_.Abandon ? handlers_.Abandon(firstSignal) : -1;
            if (status >= 0) _exit(status);
        }
    }
}

} // namespace ktr::cli

// The few POSIX file operations the journal and the serial counter both rely on: a descriptor
// that closes itself, an exclusive advisory lock, a whole write and the system's error text.
#pragma once

#include <QString>

#include <cstddef>

namespace ktr {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UniqueFd& operator=(UniqueFd&& other) noexcept;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Reset(int fd = -1);

private:
    int fd_;
};

// Holds flock(LOCK_EX) on fd from construction until destruction. Locked() is false, with
// errno set, when the lock could not be taken; a signal does not end the wait.
class FileLock {
public:
    explicit FileLock(int fd);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool Locked() const { return locked_; }

private:
    int fd_;
    bool locked_ = false;
};

// Writes all of data, going on after a short write; false with errno set on the first failure.
bool WriteAll(int fd, const char* data, size_t size);

// fsync, retried after a signal; false with errno set.
bool SyncFd(int fd);

// The system's text for an errno value, e.g. "Permission denied".
QString SystemErrorText(int error);

} // namespace ktr

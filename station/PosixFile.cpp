#include "PosixFile.h"

#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <unistd.h>

namespace ktr {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Reset(other.fd_);
        other.fd_ = -1;
    }
    return *this;
}

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

FileLock::FileLock(int fd) : fd_(fd) {
    int result;
    do
        result = ::flock(fd_, LOCK_EX);
    while (result != 0 && errno == EINTR);
    locked_ = result == 0;
}

FileLock::~FileLock() {
    if (locked_) ::flock(fd_, LOCK_UN);
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        if (written == 0) {
            errno = EIO;
            return false;
        }
        data += written;
        size -= size_t(written);
    }
    return true;
}

bool SyncFd(int fd) {
    int result;
    do
        result = ::fsync(fd);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

QString SystemErrorText(int error) {
    char buffer[256];
    // The GNU strerror_r: it may return a static text instead of filling the buffer.
    return QString::fromLocal8Bit(::strerror_r(error, buffer, sizeof buffer));
}

} // namespace ktr

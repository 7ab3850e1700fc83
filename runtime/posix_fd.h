// A file descriptor owned by one scope, and open calls that retry when a signal interrupts them.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace miruteka::native {

inline int openRetrying(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

inline int openAtRetrying(int folder, const char* name, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::openat(folder, name, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

class Fd {
public:
    explicit Fd(int fd = -1)
        : fd_(fd)
    {
    }
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(Fd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1))
    {
    }
    Fd& operator=(Fd&& other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

} // namespace miruteka::native

#pragma once

#include <unistd.h>

#include <cerrno>

// Owns a file descriptor and closes it once; -1 is "none".
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

    // Closes now, for callers to whom a failed close matters (the last write may only fail
    // there): 0, or the errno value. EINTR counts as closed, since Linux has released the
    // descriptor by then and closing it again could hit one opened meanwhile.
    int close()
    {
        const int fd = release();
        if (fd < 0 || ::close(fd) == 0 || errno == EINTR)
            return 0;
        return errno;
    }

private:
    int fd_ = -1;
};

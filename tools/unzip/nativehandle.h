#pragma once

#include <cstdint>
#include <utility>

// A handle of the system the tool runs on, held as a number so that the parts of the tool
// shared by both systems need no system header: a file descriptor on POSIX, a kernel HANDLE on
// Windows. The system-specific bodies (*_posix.cpp, *_win.cpp) are the only ones that make
// such handles and look inside them.
using NativeValue = std::intptr_t;
inline constexpr NativeValue kNoHandle = -1;

// Owns a handle and closes it once (closeNativeHandle, defined by each system's body).
void closeNativeHandle(NativeValue value);

class NativeHandle {
public:
    NativeHandle() = default;
    explicit NativeHandle(NativeValue value) : value_(value) {}
    ~NativeHandle() { reset(); }

    NativeHandle(NativeHandle &&other) noexcept : value_(other.release()) {}
    NativeHandle &operator=(NativeHandle &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    NativeHandle(const NativeHandle &) = delete;
    NativeHandle &operator=(const NativeHandle &) = delete;

    NativeValue get() const { return value_; }
    bool valid() const { return value_ != kNoHandle; }
    explicit operator bool() const { return valid(); }

    NativeValue release() { return std::exchange(value_, kNoHandle); }
    void reset(NativeValue value = kNoHandle)
    {
        if (valid())
            closeNativeHandle(value_);
        value_ = value;
    }

private:
    NativeValue value_ = kNoHandle;
};

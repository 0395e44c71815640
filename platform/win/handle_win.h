#pragma once

#include <windows.h>

// Owns a kernel handle and closes it once. Both "no handle" spellings of the API (null and
// INVALID_HANDLE_VALUE) count as empty.
class WinHandle {
public:
    WinHandle() = default;
    explicit WinHandle(HANDLE handle) : handle_(handle) {}
    ~WinHandle() { reset(); }

    WinHandle(WinHandle &&other) noexcept : handle_(other.release()) {}
    WinHandle &operator=(WinHandle &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    WinHandle(const WinHandle &) = delete;
    WinHandle &operator=(const WinHandle &) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }

    HANDLE release()
    {
        HANDLE h = handle_;
        handle_ = nullptr;
        return h;
    }
    void reset(HANDLE handle = nullptr)
    {
        if (valid())
            CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

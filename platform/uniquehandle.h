#pragma once

#include <utility>

// Owns a handle of the system and closes it once. `Traits` says what a handle is:
//   Value                 the handle's type
//   static Value none()   the value that holds nothing
//   static bool valid(Value)
//   static int close(Value)   closes it: 0, or the system's error code
// The POSIX descriptor (UniqueFd), the Windows kernel handle (WinHandle) and the extraction
// tool's handle held as a number (NativeHandle) are this one type with their own traits.
template <class Traits>
class UniqueHandle {
public:
    using Value = typename Traits::Value;

    UniqueHandle() = default;
    explicit UniqueHandle(Value value) : value_(value) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle &&other) noexcept : value_(other.release()) {}
    UniqueHandle &operator=(UniqueHandle &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;

    Value get() const { return value_; }
    bool valid() const { return Traits::valid(value_); }
    explicit operator bool() const { return valid(); }

    Value release() { return std::exchange(value_, Traits::none()); }
    void reset(Value value = Traits::none())
    {
        if (valid())
            Traits::close(value_);
        value_ = value;
    }

    // Closes now, for callers to whom a failed close matters (the last write may only fail
    // there): 0, or the system's error code.
    int close()
    {
        const Value value = release();
        return Traits::valid(value) ? Traits::close(value) : 0;
    }

private:
    Value value_ = Traits::none();
};

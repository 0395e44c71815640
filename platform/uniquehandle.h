#pragma once

#include <utility>

// Owns a handle of the system and closes it once: a POSIX descriptor (UniqueFd), a Windows
// kernel handle (WinHandle), the extraction tool's handle held as a number (NativeHandle).
// `Traits` has the handle's type Value and static none(), valid(Value) and close(Value), which
// gives 0 or the system's error code.
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

#pragma once

// The one way a function of the platform layer or the extraction tool says that it failed.

#include <optional>
#include <string>
#include <utility>

// Why an operation failed: the text its log line needs (one line), the system's error code
// behind it (an errno value, a Windows error), 0 when there is none, and the file or folder it
// failed on when the caller's line names one that the caller did not pass in (the entry deep in
// a tree where a removal stopped), empty otherwise.
struct Failure {
    std::string text;
    int code = 0;
    std::string path = {};

    // The same failure told as part of `what`: "WHAT: TEXT", the code and path kept.
    Failure about(const std::string &what) const { return {what + ": " + text, code, path}; }
};

// What an operation that can fail gives back: its value (none for Result<>), or the Failure.
// Tested as a bool.
template <class T = void>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}              // NOLINT(google-explicit-constructor): returned as it is
    Result(Failure failure) : failure_(std::move(failure)) {}  // NOLINT(google-explicit-constructor): as above

    bool ok() const { return !failure_.has_value(); }
    explicit operator bool() const { return ok(); }

    // The value; only when ok().
    T &value() & { return *value_; }
    const T &value() const & { return *value_; }
    T &&value() && { return std::move(*value_); }

    // The failure; only when !ok().
    const Failure &failure() const { return *failure_; }

private:
    std::optional<T> value_;
    std::optional<Failure> failure_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : failure_(std::move(failure)) {}  // NOLINT(google-explicit-constructor): returned as it is

    bool ok() const { return !failure_.has_value(); }
    explicit operator bool() const { return ok(); }

    const Failure &failure() const { return *failure_; }

private:
    std::optional<Failure> failure_;
};

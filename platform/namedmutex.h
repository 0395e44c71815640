#pragma once

#include <string>

// Whether a process currently holds the named mutex `name` (for example kExtractMutex, platform/packagenames.h).
// Probing never creates the mutex and never disturbs a holder.
bool namedMutexExists(const std::string &name);

// Holds the named mutex `name` for as long as the object lives. The name stops existing once
// no holder is left, also when a holding process dies.
class NamedMutexHolder {
public:
    explicit NamedMutexHolder(const std::string &name);
    ~NamedMutexHolder();
    NamedMutexHolder(const NamedMutexHolder &) = delete;
    NamedMutexHolder &operator=(const NamedMutexHolder &) = delete;

    bool held() const;

private:
    struct Impl;
    Impl *impl_;
};

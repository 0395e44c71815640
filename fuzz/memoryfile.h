#pragma once

#include "platform/posix/uniquefd_posix.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The fuzzer's input as a file that lives in memory only (memfd): a regular file, so the code
// under test opens, stats and reads it through its usual path ("/proc/self/fd/N") or
// descriptor, and nothing touches the disk.
class MemoryFile {
public:
    MemoryFile(const std::uint8_t *data, std::size_t size);

    int fd() const { return fd_.get(); }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_.get()); }

private:
    UniqueFd fd_;
};

// Stops the run with `what` (and `detail`, escaped, when given) on standard error when
// `condition` is false: a broken property is a finding, reported like a crash.
void fuzzCheck(bool condition, const char *what, const std::string &detail = {});

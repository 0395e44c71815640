#pragma once

#include <unistd.h>

#include <cerrno>

#include "platform/uniquehandle.h"

struct FdTraits {
    using Value = int;
    static int none() { return -1; }
    static bool valid(int fd) { return fd >= 0; }
    // EINTR counts as closed, since Linux has released the descriptor by then and closing it
    // again could hit one opened meanwhile.
    static int close(int fd) { return ::close(fd) == 0 || errno == EINTR ? 0 : errno; }
};

// Owns a file descriptor and closes it once; -1 is "none".
using UniqueFd = UniqueHandle<FdTraits>;

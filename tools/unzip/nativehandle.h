#pragma once

#include <cstdint>

#include "platform/uniquehandle.h"

// A handle of the system the tool runs on, held as a number so that the parts of the tool
// shared by both systems need no system header: a file descriptor on POSIX, a kernel HANDLE on
// Windows. The system-specific bodies (*_posix.cpp, *_win.cpp) are the only ones that make
// such handles and look inside them.
using NativeValue = std::intptr_t;
inline constexpr NativeValue kNoHandle = -1;

// Closes a handle (defined by each system's body): 0, or the system's error code.
int closeNativeHandle(NativeValue value);

struct NativeHandleTraits {
    using Value = NativeValue;
    static NativeValue none() { return kNoHandle; }
    static bool valid(NativeValue value) { return value != kNoHandle; }
    static int close(NativeValue value) { return closeNativeHandle(value); }
};

// Owns a handle and closes it once.
using NativeHandle = UniqueHandle<NativeHandleTraits>;

#pragma once

#include <windows.h>

#include "platform/uniquehandle.h"

// Both "no handle" spellings of the API (null and INVALID_HANDLE_VALUE) count as empty.
struct WinHandleTraits {
    using Value = HANDLE;
    static HANDLE none() { return nullptr; }
    static bool valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static int close(HANDLE handle) { return CloseHandle(handle) ? 0 : static_cast<int>(GetLastError()); }
};

// Owns a kernel handle and closes it once.
using WinHandle = UniqueHandle<WinHandleTraits>;

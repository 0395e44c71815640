#include "tools/unzip/nativehandle.h"

#include <windows.h>

int closeNativeHandle(NativeValue value)
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a HANDLE's bits
    return CloseHandle(reinterpret_cast<HANDLE>(value)) ? 0 : static_cast<int>(GetLastError());
}

#include "tools/unzip/nativehandle.h"

#include <windows.h>

void closeNativeHandle(NativeValue value)
{
    CloseHandle(reinterpret_cast<HANDLE>(value)); // NOLINT(performance-no-int-to-ptr): a HANDLE's bits
}

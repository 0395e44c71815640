#include "tools/unzip/nativehandle.h"

#include <windows.h>

void closeNativeHandle(NativeValue value)
{
    CloseHandle(reinterpret_cast<HANDLE>(value));
}

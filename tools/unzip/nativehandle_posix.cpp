#include "tools/unzip/nativehandle.h"

#include <unistd.h>

void closeNativeHandle(NativeValue value)
{
    ::close(static_cast<int>(value));
}

#include "tools/unzip/nativehandle.h"

#include "platform/posix/uniquefd_posix.h"

int closeNativeHandle(NativeValue value)
{
    return FdTraits::close(static_cast<int>(value));
}

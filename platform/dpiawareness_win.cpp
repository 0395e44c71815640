#include "platform/dpiawareness.h"

#include <windows.h>
#include <shellscalingapi.h>

void makeProcessSystemDpiAware()
{
    // Fails harmlessly when the awareness was already set (by a manifest, or an earlier call).
    SetProcessDpiAwareness(PROCESS_SYSTEM_DPI_AWARE);
}

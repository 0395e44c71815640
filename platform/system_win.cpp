#include "platform/brokenpipe.h"
#include "platform/dpiawareness.h"
#include "platform/sleep.h"

#include <windows.h>
#include <shellscalingapi.h>

// The process-wide settings and small services of Windows: broken pipes, display scaling,
// sleeping.

// Windows has no SIGPIPE: a write to a pipe without reader fails and the log goes on.

void ignoreBrokenPipes() {}

BrokenPipeGuard::BrokenPipeGuard() = default;

BrokenPipeGuard::~BrokenPipeGuard() = default;

void makeProcessSystemDpiAware()
{
    // Fails harmlessly when the awareness was already set (by a manifest, or an earlier call).
    SetProcessDpiAwareness(PROCESS_SYSTEM_DPI_AWARE);
}

void sleepMilliseconds(unsigned milliseconds)
{
    Sleep(milliseconds);
}

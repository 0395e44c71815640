#include "tools/unzip/stoprequest.h"

#include <csignal>

namespace {

extern "C" void onStopSignal(int) { requestStop(); }

}  // namespace

void installStopHandlers()
{
    // Fails only for a signal number that does not exist or cannot be caught.
    (void)std::signal(SIGINT, onStopSignal);
    (void)std::signal(SIGTERM, onStopSignal);
    (void)std::signal(SIGHUP, onStopSignal);
}

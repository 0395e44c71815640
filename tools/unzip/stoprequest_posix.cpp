#include "tools/unzip/stoprequest.h"

#include <csignal>

namespace {

extern "C" void onStopSignal(int) { requestStop(); }

} // namespace

void installStopHandlers()
{
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGHUP, onStopSignal);
}

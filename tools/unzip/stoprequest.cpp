#include "tools/unzip/stoprequest.h"

#include <chrono>
#include <csignal>
#include <thread>

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void onStopSignal(int) { g_stop = 1; }

} // namespace

void installStopHandlers()
{
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#ifdef SIGHUP
    std::signal(SIGHUP, onStopSignal);
#endif
}

bool stopRequested() { return g_stop != 0; }

void sleepUnlessStopped(unsigned milliseconds)
{
    using namespace std::chrono;
    const auto end = steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!stopRequested() && steady_clock::now() < end)
        std::this_thread::sleep_for(std::min<steady_clock::duration>(end - steady_clock::now(), 10ms));
}

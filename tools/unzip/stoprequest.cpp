#include "tools/unzip/stoprequest.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Set by a signal handler, read by every extraction worker: a lock-free atomic is safe for both.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

void requestStop() { g_stop.store(true, std::memory_order_relaxed); }

bool stopRequested() { return g_stop.load(std::memory_order_relaxed); }

void sleepUnlessStopped(unsigned milliseconds)
{
    using namespace std::chrono;
    const auto end = steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!stopRequested() && steady_clock::now() < end)
        std::this_thread::sleep_for(std::min<steady_clock::duration>(end - steady_clock::now(), 10ms));
}

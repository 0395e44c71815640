#include "platform/brokenpipe.h"
#include "platform/dpiawareness.h"
#include "platform/sleep.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <ctime>

// The process-wide settings and small services of the POSIX system: broken pipes, display
// scaling, sleeping.

namespace {

sigset_t pipeSignal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

bool pipeSignalPending()
{
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

void ignoreBrokenPipes()
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

// SIGPIPE from a write is sent to the writing thread, so blocking it here is enough. A
// blocked SIGPIPE stays pending even when ignored; one that this guard caused is taken back
// with a zero wait, one that was pending before is left to its owner.
BrokenPipeGuard::BrokenPipeGuard()
{
    const sigset_t set = pipeSignal();
    sigset_t previous;
    sigemptyset(&previous);
    pthread_sigmask(SIG_BLOCK, &set, &previous);
    wasBlocked_ = sigismember(&previous, SIGPIPE) == 1;
    wasPending_ = pipeSignalPending();
}

BrokenPipeGuard::~BrokenPipeGuard()
{
    const sigset_t set = pipeSignal();
    if (!wasPending_ && pipeSignalPending()) {
        const timespec noWait{0, 0};
        sigtimedwait(&set, nullptr, &noWait);
    }
    if (!wasBlocked_)
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// The X11 and Wayland back ends of the toolkit handle scaling themselves; there is no
// process-wide awareness to declare.
void makeProcessSystemDpiAware()
{
}

void sleepMilliseconds(unsigned milliseconds)
{
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal handled by the process must not cut the pause short.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

#include "platform/sleep.h"

#include <cerrno>
#include <ctime>

void sleepMilliseconds(unsigned milliseconds)
{
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal handled by the process must not cut the pause short.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

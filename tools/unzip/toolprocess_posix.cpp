#include "tools/unzip/toolprocess.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <thread>

std::vector<std::string> toolArguments(int argc, char **argv)
{
    return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

void prepareProcess()
{
    // Entry names in a zip are UTF-8 (or converted to it): extract them to UTF-8 file names,
    // whatever locale the launcher was started in, rather than refusing them.
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        (void)std::setlocale(LC_CTYPE, "");  // failing too, names are taken byte for byte
    // libarchive turns each entry's DOS time into a time_t with mktime(), and with TZ unset
    // glibc checks /etc/localtime for changes on every call, under a lock that the workers
    // would queue for. Naming the same file the system default names keeps the time zone
    // and drops the check.
    if (!std::getenv("TZ"))
        ::setenv("TZ", ":/etc/localtime", 1);
}

unsigned availableCores()
{
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

void nameCurrentThread(const char *name)
{
    ::pthread_setname_np(::pthread_self(), name);
}

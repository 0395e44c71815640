// Downloads one URL with the launcher's download service to the package's place in DIR, as the
// package download does, and reports the time taken and the process's peak resident set.
// Usage: download_bench URL DIR   (the service's log goes to standard output)
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "platform/downloadattempt.h"
#include "platform/packagenames.h"

int main(int argc, char *argv[])
{
    if (argc != 3) {
        (void)std::fprintf(stderr, "usage: %s URL DIR\n", argv[0]);
        return 2;
    }
    if (::chdir(argv[2]) != 0) {
        std::perror(argv[2]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const HResult result = downloadAttempt(argv[1], kPackageArchivePattern);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    // The figures are the program's only output: without them the run tells nothing.
    if (std::fprintf(stderr, "result=0x%x seconds=%.3f maxrss_kb=%ld\n", static_cast<unsigned>(result),
                     elapsed.count(), usage.ru_maxrss)
        < 0)
        return 2;
    return result == 0 ? 0 : 1;
}

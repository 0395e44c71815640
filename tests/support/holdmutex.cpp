// Test helper: holds a named mutex, as the extraction tool does, until its standard input
// closes. Prints "held" once the mutex is taken.
#include "platform/namedmutex.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        (void)std::fprintf(stderr, "usage: hold-mutex NAME\n");
        return 2;
    }
    NamedMutexHolder holder(argv[1]);
    if (!holder.held()) {
        (void)std::fprintf(stderr, "hold-mutex: could not take %s\n", argv[1]);
        return 1;
    }
    // The test waits for this line: one that cannot be written ends the helper instead.
    if (std::printf("held\n") < 0 || std::fflush(stdout) != 0)
        return 1;
    while (std::getchar() != EOF) {
    }
    return 0;
}

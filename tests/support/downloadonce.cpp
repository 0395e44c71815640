// Test helper: one download attempt, as the launcher's download worker makes it, from the
// working directory: download-once URL PATTERN (PATTERN as the launcher gives it, such as
// "%s\nembral\nembral.zip"). Exit status 0 when the attempt succeeded; its log on standard output.
#include "platform/downloadattempt.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        (void)std::fprintf(stderr, "usage: download-once URL PATTERN\n");
        return 2;
    }
    return downloadAttempt(argv[1], argv[2]) >= 0 ? 0 : 1;
}

#include "fuzz/memoryfile.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

MemoryFile::MemoryFile(const std::uint8_t *data, std::size_t size)
    : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC))
{
    fuzzCheck(fd_.valid(), "memfd_create failed");
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd_.get(), data + done, size - done);
        fuzzCheck(n > 0, "cannot write the input to its memory file");
        done += static_cast<std::size_t>(n);
    }
}

void fuzzCheck(bool condition, const char *what, const std::string &detail)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    if (!detail.empty()) {
        std::string shown;
        for (const char c : detail) {
            const auto byte = static_cast<unsigned char>(c);
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, byte >= 0x20 && byte < 0x7f ? "%c" : "\\x%02x", byte);
            shown += escaped;
        }
        std::fprintf(stderr, "  %s\n", shown.c_str());
    }
    std::abort();
}

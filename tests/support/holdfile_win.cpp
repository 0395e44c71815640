// Test helper: keeps a file open for writing with the sharing it is told, as another program
// holding it does (the running Nembrals.exe its own image, say), until its standard input
// closes. Prints "held" once the file is open. Started in a folder, it holds that folder as
// its current one too.
//
//   hold-file PATH none|read|readwrite|all
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/win/handle_win.h"
#include "platform/win/widen_win.h"

namespace {

DWORD shareMode(const char *name)
{
    if (std::strcmp(name, "read") == 0)
        return FILE_SHARE_READ;
    if (std::strcmp(name, "readwrite") == 0)
        return FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (std::strcmp(name, "all") == 0)
        return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        (void)std::fprintf(stderr, "usage: hold-file PATH none|read|readwrite|all\n");
        return 2;
    }
    const WinHandle file(CreateFileW(widenBytes(argv[1]).c_str(), GENERIC_WRITE, shareMode(argv[2]), nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        (void)std::fprintf(stderr, "hold-file: cannot open %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    if (std::printf("held\n") < 0 || std::fflush(stdout) != 0)
        return 1;
    while (std::getchar() != EOF) {
    }
    return 0;
}

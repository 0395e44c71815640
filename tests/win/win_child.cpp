// Helper process for the Windows platform tests: holds an open file from outside the test
// process.
//
//   win_child hold-file PATH SHARE READY STOP  keep PATH open for writing with SHARE
//                                              (none|read|readwrite|all), create READY, wait for STOP

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/win/handle_win.h"

namespace fs = std::filesystem;

namespace {

constexpr auto kPatience = std::chrono::seconds(60);

void touch(const std::string &path)
{
    std::ofstream(fs::path(path)) << "ready\n";
}

bool waitForFile(const std::string &path)
{
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!fs::exists(fs::path(path))) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

DWORD shareMode(const std::string &name)
{
    if (name == "read")
        return FILE_SHARE_READ;
    if (name == "readwrite")
        return FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (name == "all")
        return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "hold-file" && argc == 6) {
        const WinHandle file(CreateFileW(fs::path(argv[2]).c_str(), GENERIC_WRITE, shareMode(argv[3]), nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid())
            return 3;
        const char text[] = "line one\r\nline two\r\n";
        DWORD written = 0;
        WriteFile(file.get(), text, sizeof text - 1, &written, nullptr);
        FlushFileBuffers(file.get());
        touch(argv[4]);
        return waitForFile(argv[5]) ? 0 : 2;
    }
    return 64;
}

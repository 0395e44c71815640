// Helper process for the Windows platform tests: holds an open file from outside the test
// process, or waits, as the test asks on its command line.
//
//   win_child hold-file PATH SHARE READY STOP  keep PATH open for writing with SHARE
//                                              (none|read|readwrite|all), create READY, wait for STOP
//   win_child wait-for-file PATH               end once PATH exists
//   win_child write-cwd FILE                   write the current directory into FILE
//
// Started as the interpreter (COMSPEC) with NEMBRAL_RECORD_FILE set, it records instead what
// an interpreter receives: its whole command line and its working directory, one per line.

#include <windows.h>

#include <chrono>
#include <cstdlib>
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

// Written under another name first and renamed, so a reader never sees half of it.
int recordAsInterpreter(const char *recordFile)
{
    const std::wstring commandLine = GetCommandLineW();
    std::string narrow;
    for (const wchar_t c : commandLine)
        narrow.push_back(c < 128 ? static_cast<char>(c) : '?');
    const fs::path target(recordFile);
    fs::path partial = target;
    partial += ".partial";
    {
        std::ofstream out(partial, std::ios::binary);
        out << narrow << "\n"
            << fs::current_path().string() << "\n";
    }
    std::error_code ec;
    fs::rename(partial, target, ec);
    return ec ? 4 : 0;
}

int main(int argc, char **argv)
{
    if (const char *recordFile = std::getenv("NEMBRAL_RECORD_FILE"); recordFile != nullptr && *recordFile != '\0')
        return recordAsInterpreter(recordFile);
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
    if (mode == "wait-for-file" && argc == 3)
        return waitForFile(argv[2]) ? 0 : 2;
    if (mode == "write-cwd" && argc == 3) {
        std::ofstream(fs::path(argv[2])) << fs::current_path().string() << "\n";
        return 0;
    }
    return 64;
}

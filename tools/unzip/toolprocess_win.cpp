#include "tools/unzip/toolprocess.h"

#include "tools/unzip/win/text_win.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <thread>

namespace {

struct LocalFreer {
    void operator()(wchar_t **p) const { LocalFree(p); }
};

}  // namespace

std::vector<std::string> toolArguments(int argc, char **argv)
{
    // The narrow arguments are in the ANSI code page, which cannot hold every file name.
    int count = 0;
    const std::unique_ptr<wchar_t *, LocalFreer> wide(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::string> arguments;
    if (!wide)
        return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
    for (int i = 1; i < count; ++i)
        arguments.push_back(utf8FromWide(wide.get()[i]));
    return arguments;
}

void prepareProcess()
{
    // Nothing to set: names go to the file system as UTF-16, converted from the UTF-8 that
    // libarchive gives, whatever code page the process has.
}

unsigned availableCores()
{
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0)
        return static_cast<unsigned>(std::popcount(static_cast<unsigned long long>(process)));
    return std::max(1u, std::thread::hardware_concurrency());
}

void nameCurrentThread(const char *name)
{
    // SetThreadDescription exists from Windows 10 1607 on; looked up, so that the tool still
    // starts on older systems.
    using SetDescription = HRESULT(WINAPI *)(HANDLE, PCWSTR);
    static const auto set = reinterpret_cast<SetDescription>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (set)
        set(GetCurrentThread(), wideFromUtf8(name).c_str());
}

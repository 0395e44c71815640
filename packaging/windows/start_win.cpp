// nembral-start.exe: what the Start-menu shortcut runs, the Windows counterpart of the
// /usr/bin wrapper of the Linux package.
//
// The launcher runs its extraction tool as the fixed command line "unzip.exe ..." through
// cmd.exe, which looks in the working directory first and then on PATH. The shortcut's working
// directory is the user's own folder (the launcher installs Nembral below it, and the program
// folder under Program Files is not writable for users), so unzip.exe, which lives in the
// program folder, is found only if that folder is on PATH. This program puts it there for the
// launcher and its children alone, in front of the inherited PATH, and starts the launcher in
// the working directory it was given, with its own arguments; it then waits for the launcher
// and exits with its exit code. Nothing outside these processes changes: no machine or user
// PATH is edited, so no other program finds our unzip.exe or our DLLs, and none of theirs
// shadows ours. An unzip.exe in the working directory would still win, as cmd.exe searches
// there first.
#include <windows.h>

#include <string>

#include "platform/win/handle_win.h"

namespace {

std::wstring ownPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring environmentVariable(const wchar_t *name)
{
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    const DWORD n = GetEnvironmentVariableW(name, value.data(), size);
    value.resize(n < size ? n : 0);
    return value;
}

// The arguments after the program's own name, as the C runtime splits that name off: up to
// the closing quote when it starts with one, else up to the first blank.
std::wstring argumentsAfterProgramName(const wchar_t *line)
{
    const wchar_t *p = line;
    if (*p == L'"') {
        ++p;
        while (*p != L'\0' && *p != L'"')
            ++p;
        if (*p == L'"')
            ++p;
    } else {
        while (*p != L'\0' && *p != L' ' && *p != L'\t')
            ++p;
    }
    while (*p == L' ' || *p == L'\t')
        ++p;
    return p;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const std::wstring self = ownPath();
    const auto slash = self.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return 1;
    const std::wstring folder = self.substr(0, slash);

    const std::wstring path = environmentVariable(L"PATH");
    const std::wstring newPath = path.empty() ? folder : folder + L';' + path;
    if (!SetEnvironmentVariableW(L"PATH", newPath.c_str()))
        return 1;

    const std::wstring launcher = folder + L"\\nembral-launcher.exe";
    std::wstring commandLine = L'"' + launcher + L'"';
    const std::wstring arguments = argumentsAfterProgramName(GetCommandLineW());
    if (!arguments.empty())
        commandLine += L' ' + arguments;

    // The launcher writes its log to the standard handles this program was given (none from
    // a shortcut; a console or files when started from one), as if it had been started itself.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(launcher.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &info))
        return 1;
    const WinHandle process(info.hProcess);
    const WinHandle thread(info.hThread);

    DWORD exitCode = 1;
    if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0
        || !GetExitCodeProcess(process.get(), &exitCode))
        return 1;
    return static_cast<int>(exitCode);
}

// Runs a command line through the interpreter named by COMSPEC, without a console window.
#include "platform/commandrunner.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/win/handle_win.h"
#include "platform/win/widen_win.h"

namespace {
// "/c " + command + terminating null.
constexpr std::size_t kCommandLineSize = 310;
constexpr std::size_t kMaxCommandLength = kCommandLineSize - 4;
}  // namespace

void runCommand(const char *command)
{
    const std::size_t commandLength = std::strlen(command);
    if (commandLength > kMaxCommandLength) {
        // swprintf_s would call the runtime's invalid-parameter handler (which ends the
        // process) rather than truncate, so the command is refused before it gets there.
        logLine("Command not started: " + std::to_string(commandLength) + " characters, more than "
                + std::to_string(kMaxCommandLength));
        return;
    }

    // An unset COMSPEC leaves the interpreter path empty; CreateProcessW then fails and the
    // caller carries on as if the command had been started.
    std::string interpreter;
    const DWORD size = GetEnvironmentVariableA("COMSPEC", nullptr, 0);
    if (size > 0) {
        std::vector<char> value(size, '\0');
        const DWORD copied = GetEnvironmentVariableA("COMSPEC", value.data(), size);
        if (copied > 0 && copied < size)
            interpreter.assign(value.data(), copied);
    }
    const std::wstring wideInterpreter = widenBytes(interpreter);

    std::vector<wchar_t> wideCommand(commandLength + 1, L'\0');
    std::size_t converted = 0;
    if (mbstowcs_s(&converted, wideCommand.data(), wideCommand.size(), command, commandLength) != 0)
        return;

    // %ls rather than %s: a wide string argument under both the Microsoft and the C99 reading
    // of the format, whichever printf family the runtime headers pick.
    wchar_t commandLine[kCommandLineSize] = {};
    (void)swprintf_s(commandLine, kCommandLineSize, L"/c %ls", wideCommand.data());  // fits: checked above

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(wideInterpreter.c_str(), commandLine, nullptr, nullptr, FALSE,
                       CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process)) {
        // The command runs on by itself; we only give back our handles to it.
        WinHandle processHandle(process.hProcess);
        WinHandle threadHandle(process.hThread);
    }
}

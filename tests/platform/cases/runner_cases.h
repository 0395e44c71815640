#pragma once

// Commands for runCommand with a recording interpreter in "COMSPEC", run on Linux and under
// wine: the interpreter must receive exactly "/c" and the command.
// A case with `length` > 0 uses a command of that many 'x' characters instead of `command`.

#include <cstddef>

namespace nembral_cases {

inline constexpr std::size_t kLongestCommand = 306;

struct RunnerCase {
    const char *name;
    const char *command;
    std::size_t length;
    bool started;
};

inline constexpr RunnerCase kRunnerCases[] = {
    {"extraction command", "unzip.exe nembral/nembral.zip nembral", 0, true},
    {"start command", "cd ./nembral/nembral/ && Nembrals.exe", 0, true},
    {"text passed unchanged", "echo \"a  b\" 'c' $HOME %PATH% ; | & > < \\ *", 0, true},
    {"outer blanks kept", "  spaced  ", 0, true},
    {"306 characters fit", nullptr, kLongestCommand, true},
    {"307 characters are not started", nullptr, kLongestCommand + 1, false},
};

}  // namespace nembral_cases

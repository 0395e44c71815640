#include "workflow/versionstring.h"

namespace {

// Fixed to the "C" locale's set on purpose: the answer must not change with the user's locale.
bool isCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string versionString(std::string_view line)
{
    std::string version;
    version.reserve(line.size());
    for (char c : line) {
        if (!isCSpace(c))
            version.push_back(c);
    }
    return version;
}

#pragma once

#include <string>
#include <string_view>

// Widens byte by byte: each byte's code becomes the wide character's code, with no code-page
// conversion. All texts that go through here (URLs, path patterns, COMSPEC, mutex names) are
// ASCII, for which this is exact; it never fails and never depends on the locale.
inline std::wstring widenBytes(std::string_view text)
{
    std::wstring wide;
    wide.reserve(text.size());
    for (const char c : text)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}

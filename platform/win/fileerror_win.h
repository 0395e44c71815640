#pragma once

// How the file helpers' Windows bodies read the system's errors: which codes mean that nothing
// is at a path, and the system's own text for a code, on one line, in UTF-8.
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/result.h"

// Nothing at the path: no such file, a missing directory on the way, an invalid name, an
// unreachable network path.
inline bool isAbsenceError(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME
           || error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME || error == ERROR_DIRECTORY
           || error == ERROR_FILENAME_EXCED_RANGE;
}

inline std::string utf8FromWide(std::wstring_view wide)
{
    if (wide.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size, nullptr,
                            nullptr);
    return text;
}

// The system's own text for `error`, on one line, without the closing full stop.
inline std::string systemErrorText(DWORD error)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", length);
    if (buffer != nullptr)
        LocalFree(buffer);
    for (wchar_t &c : text) {
        if (c == L'\r' || c == L'\n')
            c = L' ';
    }
    while (!text.empty() && (text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(error) : utf8FromWide(text);
}

// The failure of an operation on `path` that the system refused with `error`.
inline Failure failureAt(const std::string &path, DWORD error)
{
    return {systemErrorText(error), static_cast<int>(error), path};
}

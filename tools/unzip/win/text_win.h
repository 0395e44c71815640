#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/win/fileerror_win.h"

// Texts between the tool (UTF-8 everywhere) and the Win32 API (UTF-16).

inline std::wstring wideFromUtf8(std::string_view text)
{
    if (text.empty())
        return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// The system's own text for `error`, on one line and without the final full stop.
inline std::string errorText(DWORD error)
{
    return systemErrorText(error);
}

inline std::string lastErrorText()
{
    return errorText(GetLastError());
}

#pragma once

#include <windows.h>

#include <string>
#include <string_view>

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

// The system's own text for `error`, on one line and without the final full stop.
inline std::string errorText(DWORD error)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", buffer != nullptr ? length : 0);
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

inline std::string lastErrorText()
{
    return errorText(GetLastError());
}

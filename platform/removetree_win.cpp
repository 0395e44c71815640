// removeTree on Windows: a depth-first walk with the Win32 file API. An entry that carries a
// reparse point (a junction, a directory or file symbolic link, a mount point) is removed
// itself, never entered: RemoveDirectoryW and DeleteFileW act on the link, not its target.
#include "platform/filehelpers.h"

#include <windows.h>

#include <filesystem>
#include <string>

namespace {

// Nothing at the path: no such file, a missing directory on the way, an invalid name, an
// unreachable network path.
bool isAbsence(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME
        || error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME || error == ERROR_DIRECTORY
        || error == ERROR_FILENAME_EXCED_RANGE;
}

std::string utf8(const std::wstring &wide)
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

// The system's own text for `error`, on one line.
std::string errorText(DWORD error)
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
    return text.empty() ? "error " + std::to_string(error) : utf8(text);
}

struct FindHandle {
    HANDLE handle;
    ~FindHandle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            FindClose(handle);
    }
};

class Walk {
public:
    RemoveTreeResult result;

    bool fail(const std::string &shown, DWORD error)
    {
        result.failedPath = shown;
        result.error = std::error_code(static_cast<int>(error), std::system_category());
        result.reason = errorText(error);
        return false;
    }

    // Removes the entry at `path` whose attributes are `attributes`, and everything below it
    // when it is a real directory.
    bool removeEntry(const std::wstring &path, DWORD attributes, const std::string &shown)
    {
        const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (directory && !link && !emptyDirectory(path, shown))
            return false;
        const BOOL removed = directory ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
        if (!removed) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? true : fail(shown, error);
        }
        ++result.removed;
        return true;
    }

private:
    bool emptyDirectory(const std::wstring &path, const std::string &shown)
    {
        WIN32_FIND_DATAW entry{};
        const FindHandle find{FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &entry,
                                               FindExSearchNameMatch, nullptr, 0)};
        if (find.handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || isAbsence(error) ? true : fail(shown, error);
        }
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (!removeEntry(path + L"\\" + name, entry.dwFileAttributes, shown + "/" + utf8(name)))
                return false;
        } while (FindNextFileW(find.handle, &entry));
        const DWORD error = GetLastError();
        return error == ERROR_NO_MORE_FILES ? true : fail(shown, error);
    }
};

}  // namespace

RemoveTreeResult removeTree(const std::string &path)
{
    Walk walk;
    // The directories on the way are looked at one by one. A junction or link among them is
    // followed, as any path is resolved (a folder moved elsewhere, a link left in its place);
    // only the entry at the path itself is never followed.
    const std::wstring wide = std::filesystem::path(path).wstring();
    std::size_t start = 0;
    for (;;) {
        const std::size_t separator = wide.find_first_of(L"/\\", start);
        const std::wstring prefix = wide.substr(0, separator);
        const std::wstring name = wide.substr(start, separator == std::wstring::npos ? std::wstring::npos : separator - start);
        const bool last = separator == std::wstring::npos
            || wide.find_first_not_of(L"/\\", separator) == std::wstring::npos;
        // A drive ("C:"), the root or an empty or "." part has nothing of its own to look at.
        const bool skip = name.empty() || name == L"." || (start == 0 && name.size() == 2 && name[1] == L':');
        if (!skip) {
            const DWORD attributes = GetFileAttributesW(prefix.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                const DWORD error = GetLastError();
                if (!isAbsence(error))
                    walk.fail(utf8(prefix), error);
                break;
            }
            const std::string shown = utf8(prefix);
            if (last) {
                walk.removeEntry(prefix, attributes, shown);
                break;
            }
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                break;  // a file on the way: nothing at the path
        } else if (last) {
            break;
        }
        start = separator + 1;
    }
    return walk.result;
}

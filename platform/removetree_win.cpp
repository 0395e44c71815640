// removeTree on Windows: a depth-first walk through directory handles we hold. A directory's
// entries are opened relative to the directory's handle, never by a path that could be
// redirected meanwhile, and removed through their own handles. An entry that is a reparse
// point (a junction, a directory or file symbolic link, a mount point), by the listing's word
// or its handle's, is removed itself, never entered.
#include "platform/filehelpers.h"

#include <windows.h>
#include <winternl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/win/fileerror_win.h"
#include "platform/win/handle_win.h"
#include "platform/win/removeentry_win.h"

namespace {

// The POSIX-semantics disposition (Windows 10 1809 and later). mingw-w64's headers only
// declare it for a _WIN32_WINNT of that release, so its values are spelled out here.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
struct DispositionInfoEx {
    DWORD flags;
};
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;

// Opens `name` below the directory `parent` (or the full path `name` when `parent` is null)
// as the entry itself: a reparse point is opened, never followed. Relative opens go through
// the directory handle we hold, so a folder swapped for a junction while we walk is not
// entered. Sets `error` on failure.
WinHandle openEntry(HANDLE parent, const std::wstring &name, ACCESS_MASK access, DWORD &error)
{
    if (parent == nullptr) {
        HANDLE handle = CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
        error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        return WinHandle(handle);
    }
    UNICODE_STRING unicodeName;
    unicodeName.Buffer = const_cast<wchar_t *>(name.c_str());
    unicodeName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    unicodeName.MaximumLength = unicodeName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE handle = nullptr;
    const NTSTATUS result = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr, 0,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                         FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT
                                             | FILE_SYNCHRONOUS_IO_NONALERT,
                                         nullptr, 0);
    error = result >= 0 ? ERROR_SUCCESS : RtlNtStatusToDosError(result);
    return WinHandle(result >= 0 ? handle : nullptr);
}

bool attributesOf(HANDLE handle, DWORD &attributes)
{
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info))
        return false;
    attributes = info.FileAttributes;
    return true;
}

// Marks the open entry for deletion. POSIX semantics take the name away at once, even while
// another program holds the file open with delete sharing (its folder can then be removed),
// and the read-only attribute does not stand in the way, as with the standard library's
// removal. Where the file system or system has no such disposition, the read-only attribute
// is cleared and the classic disposition used.
DWORD deleteOpenEntry(HANDLE handle, DWORD attributes)
{
    DispositionInfoEx posix{kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly};
    if (SetFileInformationByHandle(handle, kFileDispositionInfoEx, &posix, sizeof posix))
        return ERROR_SUCCESS;
    const DWORD posixError = GetLastError();
    if (posixError != ERROR_INVALID_PARAMETER && posixError != ERROR_NOT_SUPPORTED
        && posixError != ERROR_INVALID_FUNCTION)
        return posixError;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        FILE_BASIC_INFO basic{};
        const DWORD rest = attributes & ~DWORD(FILE_ATTRIBUTE_READONLY);
        basic.FileAttributes = rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL;
        if (!SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic))
            return GetLastError();
    }
    FILE_DISPOSITION_INFO classic{TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &classic, sizeof classic) ? ERROR_SUCCESS
                                                                                             : GetLastError();
}

}  // namespace

DWORD removeEntryByPath(const std::wstring &path, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str()))
        return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED || (attributes & FILE_ATTRIBUTE_READONLY) == 0)
        return error;
    // Read-only: removed through a handle on the entry itself, whose disposition ignores the
    // attribute or clears it first. wine opens the target of a Unix link whatever the flags:
    // a handle that is not on the link the caller saw is left alone.
    const WinHandle entry(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD opened = 0;
    if (!entry || !attributesOf(entry.get(), opened)
        || ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (opened & FILE_ATTRIBUTE_REPARSE_POINT) == 0))
        return error;
    return deleteOpenEntry(entry.get(), opened);
}

namespace {

struct Listed {
    std::wstring name;
    DWORD attributes;
};

// The entries in the open directory, without "." and "..", with the attributes the listing
// gives them.
bool namesIn(HANDLE directory, std::vector<Listed> &names, DWORD &error)
{
    alignas(LONGLONG) unsigned char buffer[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(directory, kind, buffer, sizeof buffer)) {
            error = GetLastError();
            return error == ERROR_NO_MORE_FILES;
        }
        kind = FileFullDirectoryInfo;
        for (std::size_t offset = 0;;) {
            const auto *entry = reinterpret_cast<const FILE_FULL_DIR_INFO *>(buffer + offset);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L".." && name.find_first_of(L"\\/") == std::wstring::npos)
                names.push_back({name, entry->FileAttributes});
            if (entry->NextEntryOffset == 0)
                break;
            offset += entry->NextEntryOffset;
        }
    }
}

class Walk {
public:
    RemoveTreeResult result;

    bool fail(const std::string &shown, DWORD error)
    {
        result.failedPath = shown;
        result.error = std::error_code(static_cast<int>(error), std::system_category());
        result.reason = systemErrorText(error);
        return false;
    }

    // Removes the entry `name` below `parent` (a full path when `parent` is null), and
    // everything below it when it is a real directory. `path` is its full path and
    // `listedAttributes` what the listing (or a look by path) said of it.
    bool removeEntry(HANDLE parent, const std::wstring &name, const std::wstring &path, DWORD listedAttributes,
                     const std::string &shown)
    {
        // A link is removed by its path, as the link itself. Its handle is not trusted for
        // this: wine opens the target of a Unix symbolic link even when asked for the link,
        // and reports the target's attributes on that handle.
        if ((listedAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return removeLink(path, listedAttributes, shown);
        DWORD error = ERROR_SUCCESS;
        WinHandle entry = openEntry(parent, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, error);
        if (!entry)
            return isAbsenceError(error) ? true : fail(shown, error);
        DWORD attributes = 0;
        if (!attributesOf(entry.get(), attributes))
            return fail(shown, GetLastError());
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            entry.reset();
            return removeLink(path, attributes, shown);
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !emptyDirectory(entry.get(), path, shown))
            return false;
        error = deleteOpenEntry(entry.get(), attributes);
        if (error != ERROR_SUCCESS)
            return isAbsenceError(error) ? true : fail(shown, error);
        ++result.removed;
        return true;
    }

private:
    bool removeLink(const std::wstring &path, DWORD attributes, const std::string &shown)
    {
        const DWORD error = removeEntryByPath(path, attributes);
        if (error != ERROR_SUCCESS)
            return isAbsenceError(error) ? true : fail(shown, error);
        ++result.removed;
        return true;
    }

    bool emptyDirectory(HANDLE directory, const std::wstring &path, const std::string &shown)
    {
        // A handle of its own for listing: the one that deletes was opened without it.
        DWORD error = ERROR_SUCCESS;
        const WinHandle listing = openEntry(directory, std::wstring(), FILE_LIST_DIRECTORY, error);
        if (!listing)
            return fail(shown, error);
        std::vector<Listed> entries;
        if (!namesIn(listing.get(), entries, error))
            return fail(shown, error);
        for (const Listed &entry : entries) {
            if (!removeEntry(listing.get(), entry.name, path + L"\\" + entry.name, entry.attributes,
                             shown + "/" + utf8FromWide(entry.name)))
                return false;
        }
        return true;
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
                if (!isAbsenceError(error))
                    walk.fail(utf8FromWide(prefix), error);
                break;
            }
            const std::string shown = utf8FromWide(prefix);
            if (last) {
                walk.removeEntry(nullptr, prefix, prefix, attributes, shown);
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

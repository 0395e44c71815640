#include "platform/win/removetreeat_win.h"

#include <vector>

#include "platform/win/fileerror_win.h"
#include "platform/win/handle_win.h"
#include "platform/win/ntfile_win.h"

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
    NtOpened opened = ntOpenAt(parent, name, access, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT);
    error = opened.ok() ? ERROR_SUCCESS : errorOfStatus(opened.status);
    return std::move(opened.handle);
}

bool tagOf(HANDLE handle, FILE_ATTRIBUTE_TAG_INFO &info)
{
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info) != 0;
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

class Walk {
public:
    explicit Walk(TreeRemoval &removal) : removal_(removal) {}

    bool removeEntry(HANDLE parent, const std::wstring &name, const std::wstring &path, DWORD listed,
                     const std::string &shown)
    {
        // A link the listing shows is removed by its path, as the link itself, where there is
        // a path: its handle is not trusted for this, since wine opens the target of a Unix
        // symbolic link even when asked for the link, and reports the target's attributes.
        if (!path.empty() && listed != kAttributesUnknown && (listed & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return removeByPath(path, listed, shown);
        DWORD error = ERROR_SUCCESS;
        WinHandle entry = openEntry(parent, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, error);
        if (!entry)
            return isAbsenceError(error) ? true : fail(shown, error);
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (!tagOf(entry.get(), tag))
            return fail(shown, GetLastError());
        const DWORD attributes = tag.FileAttributes;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            if (!path.empty()) {
                entry.reset();
                return removeByPath(path, attributes, shown);
            }
            if (isLinkTag(tag.ReparseTag))
                return deleteEntry(entry.get(), attributes, shown);  // the link itself, opened as such
        } else if (path.empty() && parent != nullptr
                   && linkStateOf(parent, name, entry.get()) == LinkState::Followed) {
            // Only its target is at hand, and no path to remove the link by: both stay.
            return fail(shown, ERROR_CANT_ACCESS_FILE);
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !emptyDirectory(entry.get(), path, shown))
            return false;
        return deleteEntry(entry.get(), attributes, shown);
    }

    bool fail(const std::string &shown, DWORD error)
    {
        if (removal_.error == ERROR_SUCCESS) {
            removal_.failedPath = shown;
            removal_.error = error;
        }
        return false;
    }

private:
    bool counted(DWORD error, const std::string &shown)
    {
        if (error != ERROR_SUCCESS)
            return isAbsenceError(error) ? true : fail(shown, error);
        ++removal_.removed;
        return true;
    }

    bool deleteEntry(HANDLE entry, DWORD attributes, const std::string &shown)
    {
        return counted(deleteOpenEntry(entry, attributes), shown);
    }

    bool removeByPath(const std::wstring &path, DWORD attributes, const std::string &shown)
    {
        return counted(removeEntryByPath(path, attributes), shown);
    }

    bool emptyDirectory(HANDLE directory, const std::wstring &path, const std::string &shown)
    {
        // A handle of its own for listing: the one that deletes was opened without it.
        DWORD error = ERROR_SUCCESS;
        const WinHandle listing = openEntry(directory, std::wstring(), FILE_LIST_DIRECTORY, error);
        if (!listing)
            return fail(shown, error);
        std::vector<ListedEntry> entries;
        if (error = listDirectoryHandle(listing.get(), entries); error != ERROR_SUCCESS)
            return fail(shown, error);
        bool ok = true;
        for (const ListedEntry &entry : entries) {
            ok = removeEntry(listing.get(), entry.name, path.empty() ? path : path + L"\\" + entry.name,
                             entry.attributes, shown + "/" + utf8FromWide(entry.name))
                 && ok;
            if (!ok && !removal_.keepGoing)
                break;
        }
        return ok;
    }

    TreeRemoval &removal_;
};

}  // namespace

bool removeTreeAt(HANDLE parent, const std::wstring &name, const std::wstring &path, DWORD listed,
                  const std::string &shown, TreeRemoval &removal)
{
    return Walk(removal).removeEntry(parent, name, path, listed, shown);
}

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
    FILE_ATTRIBUTE_TAG_INFO opened{};
    if (!entry || !tagOf(entry.get(), opened)
        || ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
            && (opened.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0))
        return error;
    return deleteOpenEntry(entry.get(), opened.FileAttributes);
}

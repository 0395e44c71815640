// The file helpers' Windows bodies: removeFileIn, then ReadableFile's shared open.
//
// removeFileIn on Windows. The folder is looked at without following a reparse point at its
// own name, then held open without delete sharing while the file goes, so that it can be
// neither renamed nor replaced by a junction in between.
#include "platform/filehelpers.h"

#include <windows.h>
#include <share.h>

#include <filesystem>
#include <string>

#include "platform/win/fileerror_win.h"
#include "platform/win/handle_win.h"
#include "platform/win/removetreeat_win.h"

namespace {

bool isRealFolderAttributes(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

}  // namespace

Result<std::uintmax_t> removeFileIn(const std::string &folder, const std::string &name)
{
    const std::wstring wideFolder = std::filesystem::path(folder).make_preferred().wstring();
    const DWORD attributes = GetFileAttributesW(wideFolder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return isAbsenceError(error) ? Result<std::uintmax_t>(0) : failureAt(folder, error);
    }
    // A junction or link in the folder's place: its target holds nothing of ours.
    if (!isRealFolderAttributes(attributes))
        return 0;
    const WinHandle held(CreateFileW(wideFolder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!held || !GetFileInformationByHandle(held.get(), &info)) {
        const DWORD error = GetLastError();
        return isAbsenceError(error) ? Result<std::uintmax_t>(0) : failureAt(folder, error);
    }
    if (!isRealFolderAttributes(info.dwFileAttributes))
        return 0;

    const std::string shown = folder + "/" + name;
    const std::wstring file = wideFolder + L"\\" + std::filesystem::path(name).wstring();
    const DWORD fileAttributes = GetFileAttributesW(file.c_str());
    if (fileAttributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return isAbsenceError(error) ? Result<std::uintmax_t>(0) : failureAt(shown, error);
    }
    // A folder under the file's name is left to the caller's removeTree; a directory link is
    // removed itself.
    if (isRealFolderAttributes(fileAttributes))
        return 0;
    if (const DWORD error = removeEntryByPath(file, fileAttributes); error != ERROR_SUCCESS)
        return isAbsenceError(error) ? Result<std::uintmax_t>(0) : failureAt(shown, error);
    return 1;
}

std::FILE *ReadableFile::openShared(const std::string &path)
{
    // Read-only text mode: a missing file is never created. Deny-none sharing: another process
    // may go on reading and writing the file while we hold it, and the open succeeds while
    // another process holds the file, as long as that process lets others read. The narrow
    // path is converted the same way the file helpers' std::filesystem calls convert it.
    return _wfsopen(std::filesystem::path(path).c_str(), L"rt", _SH_DENYNO);
}

bool isRealFolder(const std::string &path)
{
    const DWORD attributes = GetFileAttributesW(std::filesystem::path(path).make_preferred().wstring().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && isRealFolderAttributes(attributes);
}

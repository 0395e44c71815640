#include "tools/unzip/directoryops.h"

#include "tools/unzip/stoprequest.h"
#include "tools/unzip/win/ntfile_win.h"
#include "tools/unzip/win/text_win.h"

#include <windows.h>
#include <ntstatus.h>

#include <filesystem>
#include <system_error>
#include <vector>

namespace {

constexpr ACCESS_MASK kDirectoryAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES;

constexpr const char *kLinkReason = "it is a symbolic link or junction";

// NOLINTNEXTLINE(performance-no-int-to-ptr): a NativeValue holds a HANDLE's bits
HANDLE raw(NativeValue value) { return reinterpret_cast<HANDLE>(value); }

std::wstring withBackslashes(std::wstring path)
{
    for (wchar_t &c : path) {
        if (c == L'/')
            c = L'\\';
    }
    // A trailing separator would name the same directory; a root ("C:\", "\") keeps its own.
    while (path.size() > 1 && path.back() == L'\\' && path[path.size() - 2] != L':')
        path.pop_back();
    return path;
}

bool isLinkAttributes(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Another program may hold a fresh entry open for a moment without letting it be renamed: a
// virus scanner looks at each new executable, an indexer at each new file, and a folder with
// such a file below it cannot be renamed either. Both show as a sharing violation or a refused
// access, and a move that meets one is tried again after these pauses (about four seconds in
// all) before it counts as failed.
constexpr unsigned kHeldEntryDelaysMs[] = {10, 20, 50, 100, 200, 400, 800, 1000, 1500};

bool isHeldForAMoment(NTSTATUS status)
{
    return status == STATUS_SHARING_VIOLATION || status == STATUS_ACCESS_DENIED;
}

// One attempt of moveEntry: STATUS_SUCCESS, or a failure with `reason` set.
NTSTATUS moveOnce(NativeValue from, const std::wstring &wide, NativeValue to, std::string &reason)
{
    const NtOpenResult opened = ntOpenAt(from, wide, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, 0);
    if (!opened.ok()) {
        reason = statusText(opened.status);
        return NT_SUCCESS(opened.status) ? STATUS_UNSUCCESSFUL : opened.status;
    }
    // Renaming a handle on a link's target would move the target.
    if (linkStateOf(from, wide, raw(opened.handle.get())) == LinkState::Followed) {
        reason = "it is a link that this system cannot move without moving what it points to";
        return STATUS_UNSUCCESSFUL;
    }
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFORMATION) + wide.size() * sizeof(wchar_t));
    auto *rename = reinterpret_cast<FILE_RENAME_INFORMATION *>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = raw(to);
    rename->FileNameLength = static_cast<ULONG>(wide.size() * sizeof(wchar_t));
    wide.copy(rename->FileName, wide.size());
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NtSetInformationFile(raw(opened.handle.get()), &io, rename,
                                                 static_cast<ULONG>(buffer.size()), FileRenameInformation);
    if (!NT_SUCCESS(status))
        reason = statusText(status);
    return status;
}

}  // namespace

NativeHandle openDestination(const std::string &given, std::string &error)
{
    const std::wstring path = withBackslashes(wideFromUtf8(given));
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!parent.empty() && parent != std::filesystem::path(path).root_path())
        std::filesystem::create_directories(parent, ec);
    if (ec) {
        error = "cannot create '" + utf8FromWide(parent.wstring()) + "': " + errorText(static_cast<DWORD>(ec.value()));
        return NativeHandle();
    }
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        error = "cannot create '" + given + "': " + lastErrorText();
        return NativeHandle();
    }
    // A link there is followed: the installation was moved, and the link left in its place.
    NativeHandle destination(reinterpret_cast<NativeValue>(
        CreateFileW(path.c_str(), kDirectoryAccess | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
    if (!destination.valid()) {
        const DWORD openError = GetLastError();
        const bool gone = openError == ERROR_FILE_NOT_FOUND || openError == ERROR_PATH_NOT_FOUND;
        error = gone && isLinkAttributes(GetFileAttributesW(path.c_str()))
                    ? "cannot extract into '" + given + "': it is a symbolic link to nothing"
                    : "cannot open '" + given + "': " + errorText(openError);
        return NativeHandle();
    }
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(raw(destination.get()), FileBasicInfo, &basic, sizeof basic)) {
        error = "cannot open '" + given + "': " + lastErrorText();
        return NativeHandle();
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = "'" + given + "' is not a directory";
        return NativeHandle();
    }
    return destination;
}

NativeHandle openDirectoryAt(NativeValue parent, const std::string &name, std::string &reason)
{
    const std::wstring wide = wideFromUtf8(name);
    NtOpenResult opened = ntOpenAt(parent, wide, kDirectoryAccess, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (!opened.ok()) {
        reason = statusText(opened.status);
        return NativeHandle();
    }
    if (linkStateOf(parent, wide, raw(opened.handle.get())) != LinkState::None) {
        reason = kLinkReason;
        return NativeHandle();
    }
    return std::move(opened.handle);
}

bool makeDirectoryAt(NativeValue parent, const std::string &name, unsigned, bool &exists, std::string &reason)
{
    const NtOpenResult made = ntOpenAt(parent, wideFromUtf8(name), FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE);
    exists = made.status == STATUS_OBJECT_NAME_COLLISION;
    if (!made.ok())
        reason = statusText(made.status);
    return made.ok();
}

bool existsAt(NativeValue directory, const std::string &name)
{
    const NtOpenResult opened = ntOpenAt(directory, wideFromUtf8(name), FILE_READ_ATTRIBUTES, FILE_OPEN, 0);
    // Anything but absence (a refused access, a file in use) means something is there.
    return opened.ok() || !isNotFound(opened.status);
}

bool listDirectory(NativeValue directory, std::vector<DirectoryEntry> &entries, std::string &reason)
{
    // A handle of its own, so that the listing starts afresh.
    const NtOpenResult listing = ntOpenAt(directory, L"", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (!listing.ok()) {
        reason = statusText(listing.status);
        return false;
    }
    alignas(8) unsigned char buffer[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(raw(listing.handle.get()), kind, buffer, sizeof buffer)) {
        kind = FileFullDirectoryInfo;
        for (const unsigned char *p = buffer;;) {
            const auto *entry = reinterpret_cast<const FILE_FULL_DIR_INFO *>(p);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                const bool directoryEntry = (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                                            && (entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
                entries.push_back({utf8FromWide(name), directoryEntry});
            }
            if (entry->NextEntryOffset == 0)
                break;
            p += entry->NextEntryOffset;
        }
    }
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        reason = lastErrorText();
        return false;
    }
    return true;
}

bool moveEntry(NativeValue from, const std::string &name, NativeValue to, std::string &reason)
{
    const std::wstring wide = wideFromUtf8(name);
    NTSTATUS status = moveOnce(from, wide, to, reason);
    for (const unsigned delay : kHeldEntryDelaysMs) {
        if (!isHeldForAMoment(status) || stopRequested())
            break;
        sleepUnlessStopped(delay);
        status = moveOnce(from, wide, to, reason);
    }
    return NT_SUCCESS(status);
}

bool flushOpenDirectory(NativeValue directory, std::string &reason)
{
    // A handle of its own with write access, which FlushFileBuffers needs.
    const NtOpenResult opened = ntOpenAt(directory, L"", FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (!opened.ok()) {
        reason = statusText(opened.status);
        return false;
    }
    if (FlushFileBuffers(raw(opened.handle.get())))
        return true;
    // FAT, exFAT and network shares have no flush for a folder and refuse it as unsupported
    // (STATUS_INVALID_DEVICE_REQUEST or STATUS_NOT_IMPLEMENTED, read here as
    // ERROR_INVALID_FUNCTION; STATUS_NOT_SUPPORTED as ERROR_NOT_SUPPORTED): there is nothing
    // more to ask of them for a folder. The flush of a file stays required.
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED)
        return true;
    reason = errorText(error);
    return false;
}

bool flushFileSystemOf(NativeValue, std::string &reason)
{
    reason = "only an administrator may flush a whole volume";
    return false;
}

bool canFlushFileSystem()
{
    return false;
}

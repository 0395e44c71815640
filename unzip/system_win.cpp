#include "unzip/system.h"

#include "platform/win/fileerror_win.h"
#include "unzip/archive.h"
#include "unzip/extract.h"

#include <windows.h>
#include <winternl.h>
#include <ntstatus.h>
#include <archive_entry.h>
#include <winioctl.h>
#include <shellapi.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

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

// Opening and creating names relative to a directory handle with NtCreateFile, whose
// OBJECT_ATTRIBUTES take the directory (RootDirectory) and one name inside it: the only way
// from user mode to make a file relative to a handle rather than by path.

struct NtOpenResult {
    NativeHandle handle;
    NTSTATUS status = 0;
    bool ok() const { return handle.valid(); }
};

// NtCreateFile of `name` in `directory` with `access`
// (SYNCHRONIZE is added), sharing read, write and delete, the `disposition` (FILE_OPEN,
// FILE_CREATE) and `options` (FILE_SYNCHRONOUS_IO_NONALERT and FILE_OPEN_REPARSE_POINT are
// added: I/O waits for its end, and a reparse point at `name` is opened itself, never
// followed). A new file is given `allocation` bytes at once.
NtOpenResult ntOpenAt(NativeValue directory, const std::wstring &name, ACCESS_MASK access, ULONG disposition,
                      ULONG options, std::int64_t allocation = 0);

// The system's text for an NTSTATUS, on one line.
std::string statusText(NTSTATUS status);

bool isNotFound(NTSTATUS status);

enum class LinkState {
    None,      // not a link
    Link,      // a link, and `opened` is the link itself
    Followed,  // a link that the system followed anyway: `opened` is what it points to
};

// Whether `name` in `directory`, opened as `opened` (by ntOpenAt), is a link: a reparse point
// that stands for another name (symbolic link, junction, mount point), not one that marks a
// file of its own (a file kept in the cloud, say). Asks the handle, and the directory's own
// listing: wine 8 shows a Unix symbolic link to a directory as a reparse point only in
// listings (and one to a file not at all), and follows it on every open whatever the
// options, so there a handle on it is a handle on its target.
LinkState linkStateOf(NativeValue directory, const std::wstring &name, HANDLE opened);

// FILETIME's count (100 ns since 1601) for a Unix time.
std::int64_t fileTimeOf(std::int64_t seconds, long nanoseconds);

int closeNativeHandle(NativeValue value)
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a HANDLE's bits
    return CloseHandle(reinterpret_cast<HANDLE>(value)) ? 0 : static_cast<int>(GetLastError());
}

// Not in mingw-w64's winternl.h; exported by ntdll.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                                               PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS informationClass, BOOLEAN returnSingleEntry,
                                               PUNICODE_STRING fileName, BOOLEAN restartScan);

namespace {

constexpr auto kFileFullDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(2);

// FILE_FULL_DIR_INFORMATION, which mingw-w64 declares only for drivers. For a reparse point,
// eaSize holds its tag.
struct DirectoryInformation {
    ULONG nextEntryOffset;
    ULONG fileIndex;
    LARGE_INTEGER creationTime;
    LARGE_INTEGER lastAccessTime;
    LARGE_INTEGER lastWriteTime;
    LARGE_INTEGER changeTime;
    LARGE_INTEGER endOfFile;
    LARGE_INTEGER allocationSize;
    ULONG fileAttributes;
    ULONG fileNameLength;
    ULONG eaSize;
    WCHAR fileName[1];
};

// NOLINTNEXTLINE(performance-no-int-to-ptr): a NativeValue holds a HANDLE's bits
HANDLE raw(NativeValue value) { return reinterpret_cast<HANDLE>(value); }

// Links are the reparse points that stand for another name (symbolic links, junctions, mount
// points). Others, such as the placeholders of files kept in the cloud, are files in their
// own right.
bool isLinkTag(ULONG tag)
{
    return IsReparseTagNameSurrogate(tag);
}

// Whether `directory`'s listing shows `name` as a link. wine gives the tag as 0.
bool listedAsLink(NativeValue directory, const std::wstring &name)
{
    // A handle of its own: a directory handle remembers the pattern of its first listing.
    const NtOpenResult listing = ntOpenAt(directory, L"", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (!listing.ok())
        return false;
    alignas(8) unsigned char buffer[sizeof(DirectoryInformation) + 512 * sizeof(WCHAR)];
    UNICODE_STRING pattern;
    pattern.Buffer = const_cast<wchar_t *>(name.c_str());
    pattern.Length = pattern.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NtQueryDirectoryFile(raw(listing.handle.get()), nullptr, nullptr, nullptr, &io, buffer,
                                                 sizeof buffer, kFileFullDirectoryInformation, TRUE, &pattern, TRUE);
    if (!NT_SUCCESS(status))
        return false;
    const auto *entry = reinterpret_cast<const DirectoryInformation *>(buffer);
    return (entry->fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (entry->eaSize == 0 || isLinkTag(entry->eaSize));
}

}  // namespace

NtOpenResult ntOpenAt(NativeValue directory, const std::wstring &name, ACCESS_MASK access, ULONG disposition,
                      ULONG options, std::int64_t allocation)
{
    UNICODE_STRING unicodeName;
    unicodeName.Buffer = const_cast<wchar_t *>(name.c_str());
    unicodeName.Length = unicodeName.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    // Case-insensitive, as Win32 names are: the archive's names are checked for clashes of
    // case beforehand, so each name meets only what the tool made under that name.
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, raw(directory), nullptr);
    LARGE_INTEGER size;
    size.QuadPart = allocation;
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    NtOpenResult result;
    result.status = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, allocation > 0 ? &size : nullptr,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 disposition, options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                                 nullptr, 0);
    if (NT_SUCCESS(result.status) && handle != nullptr)
        result.handle.reset(reinterpret_cast<NativeValue>(handle));
    return result;
}

std::string statusText(NTSTATUS status)
{
    return errorText(RtlNtStatusToDosError(status));
}

bool isNotFound(NTSTATUS status)
{
    return status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND
           || status == STATUS_NO_SUCH_FILE;
}

LinkState linkStateOf(NativeValue directory, const std::wstring &name, HANDLE opened)
{
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &tag, sizeof tag))
        return LinkState::None;
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return isLinkTag(tag.ReparseTag) ? LinkState::Link : LinkState::None;
    // wine marks only links to directories in listings, so only a directory is worth asking
    // about (the target it opened).
    if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return LinkState::None;
    return listedAsLink(directory, name) ? LinkState::Followed : LinkState::None;
}

std::int64_t fileTimeOf(std::int64_t seconds, long nanoseconds)
{
    // 11644473600 s from 1601-01-01 to 1970-01-01.
    return (seconds + 11644473600LL) * 10000000LL + nanoseconds / 100;
}

namespace {

}  // namespace

std::unique_ptr<ArchiveFile> ArchiveFile::open(const std::string &path, std::string &error)
{
    const std::wstring wide = wideFromUtf8(path);
    // Others may read it, and rename or delete the name (this handle keeps the file), but
    // not change its bytes while it is open.
    NativeHandle file(reinterpret_cast<NativeValue>(CreateFileW(
        wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!file.valid()) {
        const DWORD openError = GetLastError();
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            error = "cannot open archive '" + path + "': not a regular file";
        else if (openError == ERROR_FILE_NOT_FOUND || openError == ERROR_PATH_NOT_FOUND)
            error = "cannot open archive '" + path + "': no such file";
        else
            error = "cannot open archive '" + path + "': " + errorText(openError);
        return nullptr;
    }
    LARGE_INTEGER size{};
    if (GetFileType(raw(file.get())) != FILE_TYPE_DISK) {
        error = "cannot open archive '" + path + "': not a regular file";
        return nullptr;
    }
    if (!GetFileSizeEx(raw(file.get()), &size)) {
        error = "cannot open archive '" + path + "': " + lastErrorText();
        return nullptr;
    }
    return std::unique_ptr<ArchiveFile>(new ArchiveFile(std::move(file), size.QuadPart, path));
}

std::int64_t ArchiveFile::readAt(std::int64_t offset, void *buffer, std::size_t size, std::string &reason) const
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD read = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (ReadFile(raw(handle_.get()), buffer, chunk, &read, &at))
        return read;
    if (GetLastError() == ERROR_HANDLE_EOF)
        return 0;
    reason = lastErrorText();
    return -1;
}

void ArchiveFile::expectSequentialRead(std::int64_t) const
{
    // The cache manager sees the sequential reads for itself.
}

bool entryName(archive_entry *entry, std::string &name)
{
    if (const wchar_t *wide = archive_entry_pathname_w(entry)) {
        name = utf8FromWide(wide);
        return true;
    }
    const char *text = archive_entry_pathname_utf8(entry);
    if (text == nullptr)
        return false;
    name = text;
    return true;
}

bool entryLinkTarget(archive_entry *entry, std::string &target)
{
    if (const wchar_t *wide = archive_entry_symlink_w(entry)) {
        target = utf8FromWide(wide);
        return true;
    }
    const char *text = archive_entry_symlink_utf8(entry);
    target = text != nullptr ? text : "";
    return text != nullptr;
}

namespace {

constexpr ACCESS_MASK kDirectoryAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES;

constexpr const char *kLinkReason = "it is a symbolic link or junction";

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

namespace {

// The names in the directory open as `directory` (a handle that has not been listed yet).
bool childrenOf(HANDLE directory, std::vector<std::wstring> &names)
{
    alignas(8) unsigned char buffer[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(directory, kind, buffer, sizeof buffer)) {
        kind = FileFullDirectoryInfo;
        for (const unsigned char *p = buffer;;) {
            const auto *entry = reinterpret_cast<const FILE_FULL_DIR_INFO *>(p);
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                names.push_back(std::move(name));
            if (entry->NextEntryOffset == 0)
                break;
            p += entry->NextEntryOffset;
        }
    }
    return GetLastError() == ERROR_NO_MORE_FILES;
}

// Marks the open entry for deletion; it goes when its last handle is closed. A read-only
// file refuses that until its attribute is cleared.
bool deleteOnClose(HANDLE entry, DWORD attributes)
{
    FILE_DISPOSITION_INFO dispose{TRUE};
    if (SetFileInformationByHandle(entry, FileDispositionInfo, &dispose, sizeof dispose))
        return true;
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0)
        return false;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = (attributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic)
           && SetFileInformationByHandle(entry, FileDispositionInfo, &dispose, sizeof dispose);
}

}  // namespace

bool removeTreeAt(NativeValue parent, const std::string &name)
{
    const std::wstring wide = wideFromUtf8(name);
    const NtOpenResult opened = ntOpenAt(parent, wide, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0);
    if (!opened.ok())
        return isNotFound(opened.status);
    const HANDLE entry = raw(opened.handle.get());
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &tag, sizeof tag))
        return false;
    switch (linkStateOf(parent, wide, entry)) {
    case LinkState::Link:
        return deleteOnClose(entry, tag.FileAttributes);  // the link itself, opened as such
    case LinkState::Followed:
        return false;  // only its target is at hand: leave both alone
    case LinkState::None:
        break;
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        std::vector<std::wstring> names;
        if (!childrenOf(entry, names))
            return false;
        bool ok = true;
        for (const std::wstring &child : names)
            ok = removeTreeAt(opened.handle.get(), utf8FromWide(child)) && ok;
        if (!ok)
            return false;
    }
    return deleteOnClose(entry, tag.FileAttributes);
}

namespace {

std::string failure(const std::string &what, const std::string &name, const std::string &reason)
{
    return what + " '" + name + "': " + reason;
}

// Sets the times the archive records on the open entry; true when it records none.
bool setTimes(HANDLE entry, const EntryTimes &times)
{
    if (!times.accessSet && !times.modifySet)
        return true;
    FILE_BASIC_INFO basic{};  // zero: leave unchanged
    if (times.accessSet)
        basic.LastAccessTime.QuadPart = fileTimeOf(times.accessSeconds, times.accessNanoseconds);
    if (times.modifySet)
        basic.LastWriteTime.QuadPart = fileTimeOf(times.modifySeconds, times.modifyNanoseconds);
    return SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic);
}

// REPARSE_DATA_BUFFER for a symbolic link, which mingw-w64 declares only for drivers.
struct SymbolicLinkReparseHeader {
    DWORD reparseTag;
    WORD reparseDataLength;
    WORD reserved;
    WORD substituteNameOffset;
    WORD substituteNameLength;
    WORD printNameOffset;
    WORD printNameLength;
    ULONG flags;
};
constexpr ULONG kSymlinkFlagRelative = 1;

}  // namespace

bool prepareToWriteLinks(std::string &reason)
{
    // The right to make symbolic links. An administrator's token holds it switched off (as the
    // system's own link function does, it is switched on before use); a standard account's
    // token does not hold it at all, and switching it on then changes nothing.
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        const NativeHandle owned(reinterpret_cast<NativeValue>(token));
        TOKEN_PRIVILEGES privilege{};
        privilege.PrivilegeCount = 1;
        privilege.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueW(nullptr, L"SeCreateSymbolicLinkPrivilege", &privilege.Privileges[0].Luid)
            && AdjustTokenPrivileges(token, FALSE, &privilege, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS)
            return true;
    }
    // Without it, developer mode lets any account make links.
    DWORD developerMode = 0;
    DWORD size = sizeof developerMode;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\AppModelUnlock",
                     L"AllowDevelopmentWithoutDevLicense", RRF_RT_REG_DWORD, nullptr, &developerMode, &size)
            == ERROR_SUCCESS
        && developerMode != 0)
        return true;
    reason = "this Windows account may not make symbolic links (that takes an administrator or developer mode)";
    return false;
}

unsigned creationMask()
{
    return 0;
}

bool createDirectory(NativeValue parent, const PlannedDirectory &directory, std::string &error)
{
    const NtOpenResult made = ntOpenAt(parent, wideFromUtf8(directory.leaf), FILE_LIST_DIRECTORY, FILE_CREATE,
                                       FILE_DIRECTORY_FILE);
    if (made.ok())
        return true;
    error = failure("cannot create", directory.path, statusText(made.status));
    return false;
}

bool finishDirectory(NativeValue parent, const PlannedDirectory &directory, unsigned, std::string &error)
{
    if (!directory.listed || (!directory.times.accessSet && !directory.times.modifySet))
        return true;
    const NtOpenResult opened = ntOpenAt(parent, wideFromUtf8(directory.leaf), FILE_WRITE_ATTRIBUTES, FILE_OPEN,
                                         FILE_DIRECTORY_FILE);
    if (!opened.ok()) {
        error = failure("cannot set the time of", directory.path, statusText(opened.status));
        return false;
    }
    if (!setTimes(raw(opened.handle.get()), directory.times)) {
        error = failure("cannot set the time of", directory.path, lastErrorText());
        return false;
    }
    return true;
}

bool writeLink(NativeValue parent, const PlannedEntry &entry, std::string &error)
{
    // A new, empty file or folder made relative to the parent's handle, then turned into a
    // relative symbolic link. Made this way, nothing is ever created through a name.
    const NtOpenResult made = ntOpenAt(parent, wideFromUtf8(entry.leaf), FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | DELETE,
                                       FILE_CREATE, entry.targetIsDirectory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
    if (!made.ok()) {
        error = failure("cannot create", entry.name, statusText(made.status));
        return false;
    }
    std::wstring target = wideFromUtf8(entry.target);
    std::replace(target.begin(), target.end(), L'/', L'\\');
    const WORD nameBytes = static_cast<WORD>(target.size() * sizeof(wchar_t));
    std::vector<unsigned char> buffer(sizeof(SymbolicLinkReparseHeader) + 2u * nameBytes);
    auto *header = reinterpret_cast<SymbolicLinkReparseHeader *>(buffer.data());
    header->reparseTag = IO_REPARSE_TAG_SYMLINK;
    header->reparseDataLength = static_cast<WORD>(buffer.size() - 8);  // all after the first three fields
    header->substituteNameOffset = 0;
    header->substituteNameLength = nameBytes;
    header->printNameOffset = nameBytes;
    header->printNameLength = nameBytes;
    header->flags = kSymlinkFlagRelative;
    unsigned char *names = buffer.data() + sizeof(SymbolicLinkReparseHeader);
    std::copy_n(reinterpret_cast<const unsigned char *>(target.data()), nameBytes, names);
    std::copy_n(reinterpret_cast<const unsigned char *>(target.data()), nameBytes, names + nameBytes);
    DWORD returned = 0;
    const HANDLE link = raw(made.handle.get());
    if (!DeviceIoControl(link, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, 0,
                         &returned, nullptr)) {
        error = failure("cannot create the link", entry.name, lastErrorText());
        FILE_DISPOSITION_INFO dispose{TRUE};  // the empty stand-in goes
        SetFileInformationByHandle(link, FileDispositionInfo, &dispose, sizeof dispose);
        return false;
    }
    if (!setTimes(link, entry.times)) {
        error = failure("cannot set the time of", entry.name, lastErrorText());
        return false;
    }
    return true;
}

bool OutputFile::create(std::string &error)
{
    // The allocation of the whole size at once keeps a large file in few pieces.
    NtOpenResult made = ntOpenAt(parent_, wideFromUtf8(entry_.leaf), FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES,
                                 FILE_CREATE, FILE_NON_DIRECTORY_FILE, static_cast<std::int64_t>(entry_.size));
    if (!made.ok()) {
        error = failure("cannot create", entry_.name, statusText(made.status));
        return false;
    }
    handle_ = std::move(made.handle);
    return true;
}

bool OutputFile::writeAt(const char *data, std::size_t size, std::int64_t offset, std::string &error)
{
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!WriteFile(raw(handle_.get()), data, chunk, &written, &at) || written == 0) {
            error = failure("cannot write", entry_.name, lastErrorText());
            return false;
        }
        data += written;
        size -= written;
        offset += written;
    }
    return true;
}

bool OutputFile::finish(FileFlush flush, StartedFiles *started, std::string &error)
{
    if (!setTimes(raw(handle_.get()), entry_.times)) {
        error = failure("cannot set the time of", entry_.name, lastErrorText());
        return false;
    }
    // Windows has no way to start a file's writeback alone: a started file is flushed when
    // waited for.
    if (flush == FileFlush::Started && started)
        return started->add(std::move(handle_), entry_, error);
    if (flush == FileFlush::Now && !FlushFileBuffers(raw(handle_.get()))) {
        error = failure("cannot write", entry_.name, lastErrorText());
        return false;
    }
    if (!CloseHandle(raw(handle_.release()))) {
        error = failure("cannot write", entry_.name, lastErrorText());
        return false;
    }
    return true;
}

std::size_t openFilesAtMost()
{
    return 8192;  // handles are limited by memory alone; this many bounds what is kept open
}

bool waitForStartedFile(NativeHandle &file, std::string &reason)
{
    const bool written = FlushFileBuffers(raw(file.get())) != 0;
    if (!written)
        reason = lastErrorText();
    const bool closed = CloseHandle(raw(file.release())) != 0;
    if (written && !closed)
        reason = lastErrorText();
    return written && closed;
}

namespace {

// Runs on a thread of its own that the system starts. For the closing of the console (or the
// end of the session) the process is ended once the handler returns, so it waits a little for
// the workers to notice and clean up.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    requestStop();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(2000);
    return TRUE;
}

}  // namespace

void installStopHandlers()
{
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

namespace {

struct LocalFreer {
    void operator()(wchar_t **p) const { LocalFree(p); }
};

}  // namespace

std::vector<std::string> toolArguments(int argc, char **argv)
{
    // The narrow arguments are in the ANSI code page, which cannot hold every file name.
    int count = 0;
    const std::unique_ptr<wchar_t *, LocalFreer> wide(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::string> arguments;
    if (!wide)
        return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
    for (int i = 1; i < count; ++i)
        arguments.push_back(utf8FromWide(wide.get()[i]));
    return arguments;
}

void prepareProcess()
{
    // Nothing to set: names go to the file system as UTF-16, converted from the UTF-8 that
    // libarchive gives, whatever code page the process has.
}

unsigned availableCores()
{
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0)
        return static_cast<unsigned>(std::popcount(static_cast<unsigned long long>(process)));
    return std::max(1u, std::thread::hardware_concurrency());
}

void nameCurrentThread(const char *name)
{
    // SetThreadDescription exists from Windows 10 1607 on; looked up, so that the tool still
    // starts on older systems.
    using SetDescription = HRESULT(WINAPI *)(HANDLE, PCWSTR);
    static const auto set = reinterpret_cast<SetDescription>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (set)
        set(GetCurrentThread(), wideFromUtf8(name).c_str());
}

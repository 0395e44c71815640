#include "unzip/system.h"

#include "platform/win/fileerror_win.h"
#include "platform/win/handle_win.h"
#include "platform/win/ntfile_win.h"
#include "platform/win/removetreeat_win.h"
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

// FILETIME's count (100 ns since 1601) for a Unix time.
std::int64_t fileTimeOf(std::int64_t seconds, long nanoseconds);

int closeNativeHandle(NativeValue value)
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a HANDLE's bits
    return CloseHandle(reinterpret_cast<HANDLE>(value)) ? 0 : static_cast<int>(GetLastError());
}

namespace {

// NOLINTNEXTLINE(performance-no-int-to-ptr): a NativeValue holds a HANDLE's bits
HANDLE raw(NativeValue value) { return reinterpret_cast<HANDLE>(value); }

// The tool holds its handles as numbers (system.h).
NativeHandle native(WinHandle handle)
{
    return NativeHandle(reinterpret_cast<NativeValue>(handle.release()));
}

}  // namespace

std::int64_t fileTimeOf(std::int64_t seconds, long nanoseconds)
{
    // 11644473600 s from 1601-01-01 to 1970-01-01.
    return (seconds + 11644473600LL) * 10000000LL + nanoseconds / 100;
}

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
    const NtOpened opened = ntOpenAt(raw(from), wide, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, 0);
    if (!opened.ok()) {
        reason = statusText(opened.status);
        return NT_SUCCESS(opened.status) ? STATUS_UNSUCCESSFUL : opened.status;
    }
    // Renaming a handle on a link's target would move the target.
    if (linkStateOf(raw(from), wide, opened.handle.get()) == LinkState::Followed) {
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
    const NTSTATUS status = NtSetInformationFile(opened.handle.get(), &io, rename,
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
    NtOpened opened = ntOpenAt(raw(parent), wide, kDirectoryAccess, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (!opened.ok()) {
        reason = statusText(opened.status);
        return NativeHandle();
    }
    if (linkStateOf(raw(parent), wide, opened.handle.get()) != LinkState::None) {
        reason = kLinkReason;
        return NativeHandle();
    }
    return native(std::move(opened.handle));
}

bool makeDirectoryAt(NativeValue parent, const std::string &name, unsigned, bool &exists, std::string &reason)
{
    const NtOpened made = ntOpenAt(raw(parent), wideFromUtf8(name), FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE);
    exists = made.status == STATUS_OBJECT_NAME_COLLISION;
    if (!made.ok())
        reason = statusText(made.status);
    return made.ok();
}

bool existsAt(NativeValue directory, const std::string &name)
{
    const NtOpened opened = ntOpenAt(raw(directory), wideFromUtf8(name), FILE_READ_ATTRIBUTES, FILE_OPEN, 0);
    // Anything but absence (a refused access, a file in use) means something is there.
    return opened.ok() || !isNotFound(opened.status);
}

bool listDirectory(NativeValue directory, std::vector<DirectoryEntry> &entries, std::string &reason)
{
    // A handle of its own, so that the listing starts afresh.
    const NtOpened listing = ntOpenAt(raw(directory), L"", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (!listing.ok()) {
        reason = statusText(listing.status);
        return false;
    }
    std::vector<ListedEntry> listed;
    if (const DWORD error = listDirectoryHandle(listing.handle.get(), listed); error != ERROR_SUCCESS) {
        reason = errorText(error);
        return false;
    }
    for (const ListedEntry &entry : listed) {
        const bool directoryEntry = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                                    && (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        entries.push_back({utf8FromWide(entry.name), directoryEntry});
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
    const NtOpened opened = ntOpenAt(raw(directory), L"", FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (!opened.ok()) {
        reason = statusText(opened.status);
        return false;
    }
    if (FlushFileBuffers(opened.handle.get()))
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

bool removeTreeAt(NativeValue parent, const std::string &name)
{
    // The tool's own trees only: it removes what it can and reports whether anything is left.
    TreeRemoval removal;
    removal.keepGoing = true;
    return removeTreeAt(raw(parent), wideFromUtf8(name), std::wstring(), kAttributesUnknown, name, removal);
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
    const NtOpened made = ntOpenAt(raw(parent), wideFromUtf8(directory.leaf), FILE_LIST_DIRECTORY, FILE_CREATE,
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
    const NtOpened opened = ntOpenAt(raw(parent), wideFromUtf8(directory.leaf), FILE_WRITE_ATTRIBUTES, FILE_OPEN,
                                     FILE_DIRECTORY_FILE);
    if (!opened.ok()) {
        error = failure("cannot set the time of", directory.path, statusText(opened.status));
        return false;
    }
    if (!setTimes(opened.handle.get(), directory.times)) {
        error = failure("cannot set the time of", directory.path, lastErrorText());
        return false;
    }
    return true;
}

bool writeLink(NativeValue parent, const PlannedEntry &entry, std::string &error)
{
    // A new, empty file or folder made relative to the parent's handle, then turned into a
    // relative symbolic link. Made this way, nothing is ever created through a name.
    const NtOpened made = ntOpenAt(raw(parent), wideFromUtf8(entry.leaf), FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | DELETE,
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
    const HANDLE link = made.handle.get();
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
    NtOpened made = ntOpenAt(raw(parent_), wideFromUtf8(entry_.leaf), FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES,
                             FILE_CREATE, FILE_NON_DIRECTORY_FILE, static_cast<std::int64_t>(entry_.size));
    if (!made.ok()) {
        error = failure("cannot create", entry_.name, statusText(made.status));
        return false;
    }
    handle_ = native(std::move(made.handle));
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

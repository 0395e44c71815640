#include "tools/unzip/entrywriter.h"

#include "tools/unzip/win/ntfile_win.h"
#include "tools/unzip/win/text_win.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <vector>

namespace {

// NOLINTNEXTLINE(performance-no-int-to-ptr): a NativeValue holds a HANDLE's bits
HANDLE raw(NativeValue value) { return reinterpret_cast<HANDLE>(value); }

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

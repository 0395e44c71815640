#include "tools/unzip/win/ntfile_win.h"

#include "tools/unzip/win/text_win.h"

#include <ntstatus.h>

#include <vector>

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

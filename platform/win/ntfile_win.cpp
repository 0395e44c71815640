#include "platform/win/ntfile_win.h"

#include <ntstatus.h>

#include "platform/win/fileerror_win.h"

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

UNICODE_STRING unicodeOf(const std::wstring &name)
{
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t *>(name.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    return text;
}

ListedEntry listedOf(const std::wstring &name, DWORD attributes, ULONG eaSize)
{
    return {name, attributes, (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? eaSize : 0};
}

// Whether `directory`'s listing shows `name` as a link.
bool listedAsLink(HANDLE directory, const std::wstring &name)
{
    // A handle of its own: a directory handle remembers the pattern of its first listing.
    const NtOpened listing = ntOpenAt(directory, L"", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (!listing.ok())
        return false;
    alignas(8) unsigned char buffer[sizeof(DirectoryInformation) + 512 * sizeof(WCHAR)];
    UNICODE_STRING pattern = unicodeOf(name);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NtQueryDirectoryFile(listing.handle.get(), nullptr, nullptr, nullptr, &io, buffer,
                                                 sizeof buffer, kFileFullDirectoryInformation, TRUE, &pattern, TRUE);
    if (!NT_SUCCESS(status))
        return false;
    const auto *entry = reinterpret_cast<const DirectoryInformation *>(buffer);
    return isListedLink(listedOf(name, entry->fileAttributes, entry->eaSize));
}

}  // namespace

NtOpened ntOpenAt(HANDLE directory, const std::wstring &name, ACCESS_MASK access, ULONG disposition, ULONG options,
                  std::int64_t allocation)
{
    UNICODE_STRING unicodeName = unicodeOf(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, directory, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = allocation;
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    NtOpened result;
    result.status = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, allocation > 0 ? &size : nullptr,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 disposition, options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                                 nullptr, 0);
    if (NT_SUCCESS(result.status) && handle != nullptr)
        result.handle.reset(handle);
    return result;
}

DWORD errorOfStatus(NTSTATUS status)
{
    return RtlNtStatusToDosError(status);
}

std::string statusText(NTSTATUS status)
{
    return systemErrorText(errorOfStatus(status));
}

bool isNotFound(NTSTATUS status)
{
    return status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND
           || status == STATUS_NO_SUCH_FILE;
}

DWORD listDirectoryHandle(HANDLE directory, std::vector<ListedEntry> &entries)
{
    alignas(LONGLONG) unsigned char buffer[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(directory, kind, buffer, sizeof buffer)) {
        kind = FileFullDirectoryInfo;
        for (std::size_t offset = 0;;) {
            const auto *entry = reinterpret_cast<const FILE_FULL_DIR_INFO *>(buffer + offset);
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L".." && name.find_first_of(L"\\/") == std::wstring::npos)
                entries.push_back(listedOf(name, entry->FileAttributes, entry->EaSize));
            if (entry->NextEntryOffset == 0)
                break;
            offset += entry->NextEntryOffset;
        }
    }
    const DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
}

bool isLinkTag(ULONG tag)
{
    return IsReparseTagNameSurrogate(tag);
}

bool isListedLink(const ListedEntry &entry)
{
    return (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (entry.reparseTag == 0 || isLinkTag(entry.reparseTag));
}

LinkState linkStateOf(HANDLE directory, const std::wstring &name, HANDLE opened)
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

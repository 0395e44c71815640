#include "tools/unzip/removetree.h"

#include "tools/unzip/win/ntfile_win.h"
#include "tools/unzip/win/text_win.h"

#include <windows.h>

#include <vector>

namespace {

// NOLINTNEXTLINE(performance-no-int-to-ptr): a NativeValue holds a HANDLE's bits
HANDLE raw(NativeValue value) { return reinterpret_cast<HANDLE>(value); }

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

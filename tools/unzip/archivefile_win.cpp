#include "tools/unzip/archivefile.h"

#include "tools/unzip/win/text_win.h"

#include <windows.h>

#include <algorithm>

namespace {

// NOLINTNEXTLINE(performance-no-int-to-ptr): a NativeValue holds a HANDLE's bits
HANDLE raw(NativeValue value) { return reinterpret_cast<HANDLE>(value); }

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

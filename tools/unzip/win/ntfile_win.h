#pragma once

#include "tools/unzip/nativehandle.h"

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <string>

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

#pragma once

// Names relative to a directory handle on Windows, shared by the launcher's tree removal and
// unzip.exe: opening and creating one name inside a directory we hold (NtCreateFile, whose
// OBJECT_ATTRIBUTES take the directory and one name in it: the only way from user mode to
// make a file relative to a handle rather than by path), listing a directory we hold, and
// telling a link from what it points to.
#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win/handle_win.h"

struct NtOpened {
    WinHandle handle;
    NTSTATUS status = 0;
    bool ok() const { return handle.valid(); }
};

// NtCreateFile of `name` in `directory` (L"" for the directory itself, as a handle of its
// own) with `access` (SYNCHRONIZE is added), sharing read, write and delete, the
// `disposition` (FILE_OPEN, FILE_CREATE) and `options` (FILE_SYNCHRONOUS_IO_NONALERT and
// FILE_OPEN_REPARSE_POINT are added: I/O waits for its end, and a reparse point at `name` is
// opened itself, never followed). A new file is given `allocation` bytes at once. The name is
// looked up case-insensitively, as Win32 names are.
NtOpened ntOpenAt(HANDLE directory, const std::wstring &name, ACCESS_MASK access, ULONG disposition, ULONG options,
                  std::int64_t allocation = 0);

// The Win32 error code for an NTSTATUS, and the system's text for it on one line.
DWORD errorOfStatus(NTSTATUS status);
std::string statusText(NTSTATUS status);

// Nothing under the name: no such file, no such folder on the way.
bool isNotFound(NTSTATUS status);

struct ListedEntry {
    std::wstring name;
    DWORD attributes = 0;
    // For a reparse point, its tag as the listing gives it (wine gives 0); else 0.
    ULONG reparseTag = 0;
};

// Appends the entries of the directory open as `directory` to `entries`, without "." and
// ".." and without a name holding a separator (which would name something below another
// entry). `directory` must be a handle that has not been listed yet: a directory handle
// keeps its place in the listing. ERROR_SUCCESS, or the system's error.
DWORD listDirectoryHandle(HANDLE directory, std::vector<ListedEntry> &entries);

// Links are the reparse points that stand for another name (symbolic links, junctions, mount
// points). Others, such as the placeholders of files kept in the cloud, are files in their
// own right. A listing's tag of 0 (wine's) counts as a link.
bool isLinkTag(ULONG tag);
bool isListedLink(const ListedEntry &entry);

enum class LinkState {
    None,      // not a link
    Link,      // a link, and `opened` is the link itself
    Followed,  // a link that the system followed anyway: `opened` is what it points to
};

// Whether `name` in `directory`, opened as `opened` (by ntOpenAt), is a link. Asks the
// handle, and the directory's own listing: wine 8 shows a Unix symbolic link to a directory
// as a reparse point only in listings (and one to a file not at all), and follows it on every
// open whatever the options, so there a handle on it is a handle on its target.
LinkState linkStateOf(HANDLE directory, const std::wstring &name, HANDLE opened);

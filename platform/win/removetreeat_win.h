#pragma once

// The one tree removal on Windows, through directory handles, shared by the launcher's
// removeTree and removeFileIn and by unzip.exe.
#include <windows.h>

#include <cstdint>
#include <string>

// What one removal did, and how it goes about it.
struct TreeRemoval {
    // Goes on with the other entries after one that cannot be removed; otherwise the removal
    // stops at the first.
    bool keepGoing = false;

    std::uintmax_t removed = 0;
    // The first entry that could not be removed (named as `shown`, then "/" and the names below
    // it) and the system's error; ERROR_SUCCESS while there is none.
    std::string failedPath;
    DWORD error = ERROR_SUCCESS;
};

// Attributes not known: the removal looks for itself.
inline constexpr DWORD kAttributesUnknown = INVALID_FILE_ATTRIBUTES;

// Removes the entry `name` in the directory open as `parent` (with a null `parent`, `name` is
// a full path) and, when it is a real directory, everything below it, depth first: a
// directory's entries are opened relative to the directory's handle, never by a path that
// could be redirected meanwhile, and removed through their own handles, read-only or not. A
// link (a symbolic link, a junction, a mount point) is removed itself, never entered.
//
// `path` is the entry's full path when the caller has one, else empty. wine opens the target
// of a Unix symbolic link whatever the flags, so a link is removed by its path when there is
// one; without one, a link that only opens as its target is left alone and counts as a
// failure. `listed` is what the parent's listing (or a look by path) said of the entry, or
// kAttributesUnknown. Entries that vanish meanwhile, and a missing `name`, are no failure.
// True when nothing is left under that name; `removal` says what was done and what failed
// first.
bool removeTreeAt(HANDLE parent, const std::wstring &name, const std::wstring &path, DWORD listed,
                  const std::string &shown, TreeRemoval &removal);

// Removes the file, the empty folder or the link (never what it points to) at `path`, whose
// attributes are `attributes`, read-only or not. ERROR_SUCCESS or the system's error.
DWORD removeEntryByPath(const std::wstring &path, DWORD attributes);

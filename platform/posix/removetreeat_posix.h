#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

// What one removal did, and how it goes about it.
struct TreeRemoval {
    // Directories without owner read, write or search permission (as an archive may make
    // them) get it before their entries are removed; otherwise such a directory is a failure.
    bool openUp = false;
    // Goes on with the other entries after one that cannot be removed; otherwise the removal
    // stops at the first.
    bool keepGoing = false;

    std::uintmax_t removed = 0;
    // The first entry that could not be removed (named as `shown`, then "/" and the names below
    // it) and the errno value; 0 while there is none.
    std::string failedPath;
    int error = 0;
};

// Removes `name` in the directory open as `parent` and, when it is a directory, everything
// below it, depth first. Every step names its entry relative to a directory that was opened
// without following a link, so a link anywhere in the tree (or one put in place of a directory
// while the removal runs) is removed itself and the removal never leaves the tree. Entries that
// vanish meanwhile, and a missing `name`, are no failure. True when nothing is left under that
// name; `removal` says what was done and what failed first.
bool removeTreeAt(int parent, const char *name, const std::string &shown, TreeRemoval &removal);

// The failure of a removal that stopped at `path` with the errno value `error`.
Failure removalFailure(const std::string &path, int error);

// Whether `error` (an errno value of an open or a look at a path) means that nothing is there:
// no such entry, a file where a directory should be on the way, a name too long to exist.
bool isAbsence(int error);

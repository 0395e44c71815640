#pragma once

#include "tools/unzip/entryplan.h"
#include "tools/unzip/nativehandle.h"

#include <string>
#include <utility>
#include <vector>

// Handles on the directories of the tree being extracted, so that entries are created relative
// to a directory the tool made itself rather than by path. Each directory is opened from its
// parent's handle without following a link (openDirectoryAt), so a link is never followed on
// the way, whatever appears in the tree meanwhile. Entries come grouped by directory in an
// archive, so a few recent handles are kept; one object per thread.
class DirectoryHandles {
public:
    DirectoryHandles(NativeValue top, const std::vector<PlannedDirectory> &directories);

    // A handle on plan directory `index` (kTopDirectory: the top of the tree), valid until
    // the next call. kNoHandle with `error` set when it cannot be opened.
    NativeValue get(std::size_t index, std::string &error);

    // The most handles kept open at once.
    static constexpr std::size_t kKept = 16;

private:
    NativeValue top_;
    const std::vector<PlannedDirectory> &directories_;
    std::vector<std::pair<std::size_t, NativeHandle>> kept_;  // most recent last
};

#pragma once

#include "tools/unzip/archivefile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What an extraction will write, worked out from the archive's headers before anything is
// written. Every name and link rule (entrycheck.h) is applied here, in archive order, so the
// extraction workers, which write entries in any order, only ever create what a one-by-one
// extraction would have created, and an unsafe archive is refused before its first byte lands.

// The parent of entries at the top of the extracted tree.
inline constexpr std::size_t kTopDirectory = static_cast<std::size_t>(-1);

struct EntryTimes {
    bool accessSet = false;
    std::int64_t accessSeconds = 0;
    long accessNanoseconds = 0;
    bool modifySet = false;
    std::int64_t modifySeconds = 0;
    long modifyNanoseconds = 0;
};

struct PlannedDirectory {
    std::string path;  // normalised: parts joined by '/'
    std::string leaf;  // the last part
    std::size_t parent = kTopDirectory;
    bool listed = false;  // the archive has an entry for it; otherwise it is only implied
    unsigned permissions = 0755;
    EntryTimes times;
};

struct PlannedEntry {
    enum Kind { File,
                Symlink };
    Kind kind = File;
    std::size_t archiveIndex = 0;  // place among all the archive's entries, in reading order
    std::string name;              // as stored: for messages, and to recognise the entry again
    std::string path;              // normalised
    std::string leaf;
    std::size_t parent = kTopDirectory;
    unsigned permissions = 0644;     // without set-id and sticky bits
    std::uint64_t size = 0;          // File: unpacked bytes, as the archive states them
    std::string target;              // Symlink
    bool targetIsDirectory = false;  // Symlink: it points to a directory of the plan (Windows makes such links as folders)
    EntryTimes times;
};

struct ExtractionPlan {
    std::vector<PlannedDirectory> directories;  // every parent before its children
    std::vector<PlannedEntry> entries;          // files and links, in archive order
    std::uint64_t bytes = 0;                    // total of the files' sizes

    // The file or link written at the normalised `path`, or null. A linear search: it is
    // asked about a few names, once.
    const PlannedEntry *entryAt(const std::string &path) const;
};

struct PlanResult {
    bool ok = false;
    ExtractionPlan plan;
    std::string error;  // one line, without the program name, when !ok
};

// Reads every header of `file` (no entry data) and plans the extraction. Refused: unsafe
// names and link targets, anything written through a link the archive made earlier, types
// other than file, directory and symbolic link, a name that would have to be both a
// directory and something else, and names (or folders on the way) that differ only in case
// from another entry's. A name stored more than once is written once, as its last
// entry says (as if the later entry replaced the earlier one). An archive without entries
// fails.
PlanResult planExtraction(const ArchiveFile &file);

#pragma once

// What is extracted, decided before the first write: the checks on each entry's name, the
// plan of directories and entries, and the check that the archive is a whole package.

#include "unzip/archive.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Safety rules for archive entry names, applied before anything is written, so that no entry
// lands outside the extraction directory ("zip slip").
//
// Backslashes count as separators as well as slashes: archives made on Windows sometimes use
// them, and a name that is harmless on one system must not become a way out on the other.

// The parts of `path` between separators, without empty and "." parts.
std::vector<std::string> pathParts(std::string_view path);

// Names may not be nested deeper than this. The extraction and the removal of a tree hold a
// directory handle per level, and an archive must not be able to run the tool out of them.
inline constexpr std::size_t kMaxEntryDepth = 256;

// Whether `path` may be created below the extraction directory; if not, it fails with why:
// empty names, absolute names (leading separator, so also "\\server\share" and "\\?\",
// and drive letters), names with ".." parts and names more than kMaxEntryDepth levels deep are
// refused. So are names that Windows would take for something else, on every system, since
// the same packages are installed everywhere: a ':' (a drive, or an alternate data stream in
// "a.txt:stream"), characters Windows does not allow (control characters, < > " | ? *), a part
// ending in a dot or a space (Windows drops them, so "a." would meet "a"), reserved device
// names with or without an extension ("CON", "NUL.txt", "COM1", "LPT9"), and parts in the form
// of a short 8.3 name ("NEMBRA~1"), which could stand for another folder of the tree.
Result<> checkEntryPath(std::string_view path);

// `name` as Windows compares names, for finding two entries that would be one file there:
// upper case for the letters of ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic. Names
// that differ only in the case of other letters are not found here; on Windows the second
// of them then fails to be created (every entry is created new), so it is still refused.
std::string caseFolded(std::string_view name);

// Whether a symbolic link stored at `linkPath` may point to `target`; if not, it fails with why.
// The target must be relative and stay inside the extraction directory. ".." is accepted only
// as a leading run (as in "../lib/libfoo.so"): the link's own parent directories are real
// directories, so a leading run resolves predictably, whereas ".." after a part that may itself
// be a link could climb out of the tree.
Result<> checkLinkTarget(std::string_view linkPath, std::string_view target);

// What an extraction will write, worked out from the archive's headers before anything is
// written. Every name and link rule (above) is applied here, in archive order, so the
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

// Reads every header of `file` (no entry data) and plans the extraction. Refused: unsafe
// names and link targets, anything written through a link the archive made earlier, types
// other than file, directory and symbolic link, a name that would have to be both a
// directory and something else, and names (or folders on the way) that differ only in case
// from another entry's. A name stored more than once is written once, as its last
// entry says (as if the later entry replaced the earlier one). An archive without entries
// fails. Failures are one line, without the program name.
Result<ExtractionPlan> planExtraction(const ArchiveFile &file);

// The files an extracted package cannot do without (kPackageVersionFile and
// kPackageExecutable, platform/packagenames.h). The launcher takes the version file for the
// sign of a complete installation and starts the executable; a tree without
// either would be taken for installed and could never start, nor ever be repaired by the
// next run. Fails with what is missing unless `plan` writes both as regular files.
Result<> checkPackage(const ExtractionPlan &plan);

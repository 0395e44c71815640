#pragma once

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

// Empty when `path` may be created below the extraction directory, otherwise why not:
// empty names, absolute names (leading separator, so also "\\server\share" and "\\?\",
// and drive letters), names with ".." parts and names more than kMaxEntryDepth levels deep are
// refused. So are names that Windows would take for something else, on every system, since
// the same packages are installed everywhere: a ':' (a drive, or an alternate data stream in
// "a.txt:stream"), characters Windows does not allow (control characters, < > " | ? *), a part
// ending in a dot or a space (Windows drops them, so "a." would meet "a"), reserved device
// names with or without an extension ("CON", "NUL.txt", "COM1", "LPT9"), and parts in the form
// of a short 8.3 name ("NEMBRA~1"), which could stand for another folder of the tree.
std::string entryPathProblem(std::string_view path);

// `name` as Windows compares names, for finding two entries that would be one file there:
// upper case for the letters of ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic. Names
// that differ only in the case of other letters are not found here; on Windows the second
// of them then fails to be created (every entry is created new), so it is still refused.
std::string caseFolded(std::string_view name);

// Empty when a symbolic link stored at `linkPath` may point to `target`, otherwise why not.
// The target must be relative and stay inside the extraction directory. ".." is accepted only
// as a leading run (as in "../lib/libfoo.so"): the link's own parent directories are real
// directories, so a leading run resolves predictably, whereas ".." after a part that may itself
// be a link could climb out of the tree.
std::string linkTargetProblem(std::string_view linkPath, std::string_view target);

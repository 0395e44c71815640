#pragma once

// Cases for deleteFile, run on Linux and under wine. The test
// makes `entry` at the path "victim" (or below it) in an empty working directory, calls
// deleteFile(path) and compares both log streams and what is left.

namespace nembral_cases {

enum class Entry {
    Nothing,  // nothing at the path
    File,     // a regular file
    EmptyDirectory,
    FullDirectory,  // a directory holding one file
    Undeletable,    // a file the system refuses to remove (Linux: immutable; Windows: held open without delete sharing)
};

struct DeleteFileCase {
    const char *name;
    Entry entry;
    const char *path;
    const char *out;        // standard output, every line followed by '\n'
    const char *errPrefix;  // standard error starts with this ...
    const char *errSuffix;  // ... and ends with this (the system's reason lies between)
    bool removed;
};

inline constexpr DeleteFileCase kDeleteFileCases[] = {
    {"missing file", Entry::Nothing, "victim", "", "Error deleting file.\n", "", false},
    {"missing directory on the way", Entry::Nothing, "nowhere/victim", "", "Error deleting file.\n", "", false},
    {"file", Entry::File, "victim", "File deleted successfully.\n", "", "", true},
    {"empty directory", Entry::EmptyDirectory, "victim", "File deleted successfully.\n", "", "", true},
    {"directory with contents", Entry::FullDirectory, "victim", "", "remove failed for \"victim\": ", "\n", false},
    {"file that cannot be removed", Entry::Undeletable, "victim", "", "remove failed for \"victim\": ", "\n", false},
};

}  // namespace nembral_cases

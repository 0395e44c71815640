#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

struct ExtractOptions {
    // Pause after each entry. Zero in normal use; tests and demonstrations set it (through the
    // environment, see main.cpp) to make the extraction slow enough to be watched.
    unsigned entryDelayMs = 0;
    // When not negative: the archive, already open, is read through this descriptor from its
    // start (the path then only names it in messages). The descriptor stays open.
    int archiveFd = -1;
};

struct ExtractResult {
    bool ok = false;
    std::size_t entries = 0;
    std::string error; // one line, without the program name, when !ok
};

// Extracts every entry of the zip archive `archive` below `directory`, which must exist and
// should be empty. Entries are checked before they are written (entrycheck.h); regular files,
// directories and links are supported, the executable bits are kept, set-id bits are not.
// Stops at the first problem: a damaged archive, an unsafe entry, a failed write or a stop
// request. What was written up to then is left for the caller to remove.
ExtractResult extractArchive(const std::filesystem::path &archive,
                             const std::filesystem::path &directory,
                             const ExtractOptions &options);

#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Writes zip archives for the extraction tests with libarchive's writer, which stores names
// exactly as given, so unsafe names ("../x", "/x", "CON", links) can be produced on purpose.
// Qt-free, so that the Windows tests without Qt write their archives the same way.
struct ZipEntry {
    enum Kind { File,
                Directory,
                Symlink };
    Kind kind = File;
    std::string name;
    std::string data;                 // File: contents; Symlink: target
    int permissions = 0644;           // File and Directory
    std::int64_t mtime = 1700000000;  // seconds since 1970
};

// Writes `entries` in order to a deflate-compressed zip at `path` (its folder must exist), the
// names flagged as UTF-8. Empty on success, otherwise libarchive's message.
std::string writeZip(const std::filesystem::path &path, const std::vector<ZipEntry> &entries);

#pragma once

#include <filesystem>
#include <string>

// The archive, opened once for reading. The signature check and the extraction both read
// through this one descriptor, so the bytes that were verified are the bytes extracted, even
// if another file is put at the archive's path in between.
//
// That guards the name, not the contents: a process allowed to write the archive file itself
// could still change it after the check, but the archive lies beside the installed tree, so
// such a process could as well change the tree directly.
class ArchiveFile {
public:
    // Opens the regular file at `path`; not open, with `error` set to one line naming the
    // archive as given, otherwise. Never blocks on a FIFO put in the file's place.
    ArchiveFile(const std::filesystem::path &path, std::string &error);
    ~ArchiveFile();
    ArchiveFile(const ArchiveFile &) = delete;
    ArchiveFile &operator=(const ArchiveFile &) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

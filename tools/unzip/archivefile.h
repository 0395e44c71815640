#pragma once

#include "platform/posix/uniquefd_posix.h"

#include <cstdint>
#include <memory>
#include <string>

// The archive, opened once at the start. Everything that reads it afterwards (each extraction
// worker, and anything that checks the archive before it is extracted) reads through this one
// descriptor at its own offsets, so all of them see the same bytes even if the name is given
// to another file meanwhile.
class ArchiveFile {
public:
    // Null with `error` set (one line, naming `path`) when `path` is missing, not a regular
    // file or cannot be opened. A FIFO or device never blocks the caller.
    static std::unique_ptr<ArchiveFile> open(const std::string &path, std::string &error);

    int fd() const { return fd_.get(); }
    std::int64_t size() const { return size_; }
    // The name as given, for messages.
    const std::string &name() const { return name_; }

private:
    ArchiveFile(UniqueFd fd, std::int64_t size, std::string name)
        : fd_(std::move(fd)), size_(size), name_(std::move(name))
    {
    }

    UniqueFd fd_;
    std::int64_t size_;
    std::string name_;
};

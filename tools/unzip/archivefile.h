#pragma once

#include "tools/unzip/nativehandle.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The archive, opened once at the start. Everything that reads it afterwards (each extraction
// worker, and anything that checks the archive before it is extracted) reads through this one
// handle at its own offsets, so all of them see the same bytes even if the name is given to
// another file meanwhile. On Windows the file is also kept from being changed, renamed or
// deleted while it is open.
class ArchiveFile {
public:
    // Null with `error` set (one line, naming `path`) when `path` is missing, not a regular
    // file or cannot be opened. A FIFO or device never blocks the caller.
    static std::unique_ptr<ArchiveFile> open(const std::string &path, std::string &error);

    std::int64_t size() const { return size_; }
    // The name as given, for messages.
    const std::string &name() const { return name_; }

    // Reads up to `size` bytes at `offset`, from any thread at once, without a shared file
    // position. The number read (0 at the end of the file), or -1 with `reason` set to the
    // system's text.
    std::int64_t readAt(std::int64_t offset, void *buffer, std::size_t size, std::string &reason) const;

    // Tells the system that the first `length` bytes are about to be read once, in order.
    void expectSequentialRead(std::int64_t length) const;

private:
    ArchiveFile(NativeHandle handle, std::int64_t size, std::string name)
        : handle_(std::move(handle)), size_(size), name_(std::move(name))
    {
    }

    NativeHandle handle_;
    std::int64_t size_;
    std::string name_;
};

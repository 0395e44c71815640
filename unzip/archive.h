#pragma once

// The archive: the file opened once (ArchiveFile), libarchive's reader over it (ArchiveReader),
// and the central directory read on its own (for the signature and whole-entry reads).

#include "unzip/system.h"

#include <archive.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The archive, opened once at the start. Everything that reads it afterwards (each extraction
// worker, and anything that checks the archive before it is extracted) reads through this one
// handle at its own offsets, so all of them see the same bytes even if the name is given to
// another file meanwhile. On Windows the file is also kept from being changed, renamed or
// deleted while it is open.
class ArchiveFile {
public:
    // Fails (one line, naming `path`) when `path` is missing, not a regular file or cannot be
    // opened. A FIFO or device never blocks the caller.
    static Result<std::unique_ptr<ArchiveFile>> open(const std::string &path);

    std::int64_t size() const { return size_; }
    // The name as given, for messages.
    const std::string &name() const { return name_; }

    // Reads up to `size` bytes at `offset`, from any thread at once, without a shared file
    // position. The number read (0 at the end of the file); fails with the system's reason.
    Result<std::int64_t> readAt(std::int64_t offset, void *buffer, std::size_t size) const;

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

// One libarchive zip reader over an ArchiveFile. Each reader keeps its own offset and reads
// at it (ArchiveFile::readAt), so several readers (one per extraction worker) use the same
// handle at once without disturbing each other. The zip is read through its central directory, which lists
// every entry, so a reader can pass over entries without decompressing them.
class ArchiveReader {
public:
    explicit ArchiveReader(const ArchiveFile &file);
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader &) = delete;
    ArchiveReader &operator=(const ArchiveReader &) = delete;

    // Reads the directory of the zip. Fails (one line) when the archive is damaged, not a
    // zip, or cannot be read.
    Result<> open();

    enum class Next { Entry,
                      End };
    // Moves to the next entry's header. `entry` stays valid until the next call. Fails when
    // the archive is damaged there.
    Result<Next> next(archive_entry *&entry);

    // The libarchive handle, for reading the current entry's data.
    archive *handle() const { return archive_.get(); }

    // Where libarchive stands in the file: after next() has read a file's header, the first
    // byte of that file's data.
    std::int64_t position() const;

    // "archive 'NAME' is damaged or not a zip archive: " and libarchive's reason, or `why`.
    std::string damagedText() const;
    std::string damagedText(const std::string &why) const;

private:
    struct Deleter {
        void operator()(archive *a) const;
    };

    static la_ssize_t readBlock(archive *a, void *self, const void **block);
    static la_int64_t skipBytes(archive *a, void *self, la_int64_t request);
    static la_int64_t seekTo(archive *a, void *self, la_int64_t offset, int whence);

    const ArchiveFile &file_;
    std::unique_ptr<archive, Deleter> archive_;
    std::unique_ptr<char[]> buffer_;  // kLargestBlock bytes, left uninitialised: only what is read is touched
    std::int64_t position_ = 0;
    std::size_t nextBlock_ = 0;  // bytes the next read asks for
};

// The name and the link target of an entry as UTF-8, whatever the code page; false when there
// is none or it cannot be read. (libarchive for Windows derives UTF-8 through the ANSI code
// page, which may not hold a name: there the wide form is converted instead.)
bool entryName(archive_entry *entry, std::string &name);
bool entryLinkTarget(archive_entry *entry, std::string &target);

// The zip's own records, read without libarchive: the end of central directory record (the
// signature check needs its comment) and the central directory's file headers (the whole-entry
// decompression needs where each entry's data is). libarchive stays the judge of what an
// archive holds; these readers only ever narrow what is done faster, never widen what is accepted.

struct EndRecord {
    std::vector<unsigned char> tail;  // the last bytes of the file: the record and its comment
    std::size_t at = 0;               // where the record starts in `tail`
    std::uint64_t tailOffset = 0;     // where `tail` starts in the file

    std::string_view comment() const;
};

// True when found, false when the file holds no record; fails when the file cannot be read.
// The record taken is the one whose comment reaches exactly to the end of the file, searching
// backwards: bytes appended after an archive leave it without a record.
Result<bool> readEndRecord(const ArchiveFile &file, EndRecord &record);

// One central directory file header.
struct StoredEntry {
    std::string name;  // the bytes as stored
    unsigned method = 0;
    unsigned flags = 0;
    std::uint32_t crc32 = 0;
    std::uint64_t packedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t headerOffset = 0;  // of its local file header
};

// The central directory's file headers, in their order. False for anything this small reader
// does not take on (zip64 fields, several disks, a directory that does not fit where the end
// record says, a short or unreadable file): the caller then leaves the archive to libarchive.
bool readCentralDirectory(const ArchiveFile &file, std::vector<StoredEntry> &entries);

// Reads exactly `size` bytes at `offset`; fails with the reason.
Result<> readExactly(const ArchiveFile &file, std::uint64_t offset, void *buffer, std::size_t size);

inline unsigned littleEndian16(const unsigned char *p) { return p[0] | (unsigned(p[1]) << 8); }
inline std::uint32_t littleEndian32(const unsigned char *p)
{
    return p[0] | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}

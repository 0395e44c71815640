#pragma once

#include "tools/unzip/archivefile.h"

#include <archive.h>

#include <cstdint>
#include <memory>
#include <string>

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

    // Reads the directory of the zip. False with `error` set (one line) when the archive is
    // damaged, not a zip, or cannot be read.
    bool open(std::string &error);

    enum class Next { Entry,
                      End,
                      Damaged };
    // Moves to the next entry's header. `entry` stays valid until the next call.
    Next next(archive_entry *&entry, std::string &error);

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

#pragma once

#include "tools/unzip/archivefile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// True when found. False with `readError` set when the file cannot be read, empty when it holds
// no record. The record taken is the one whose comment reaches exactly to the end of the file,
// searching backwards: bytes appended after an archive leave it without a record.
bool readEndRecord(const ArchiveFile &file, EndRecord &record, std::string &readError);

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

// Reads exactly `size` bytes at `offset`. Empty on success, otherwise the reason.
std::string readExactly(const ArchiveFile &file, std::uint64_t offset, void *buffer, std::size_t size);

inline unsigned littleEndian16(const unsigned char *p) { return p[0] | (unsigned(p[1]) << 8); }
inline std::uint32_t littleEndian32(const unsigned char *p)
{
    return p[0] | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}

#pragma once

#include "tools/unzip/archivefile.h"
#include "tools/unzip/centraldirectory.h"
#include "tools/unzip/entryplan.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct libdeflate_decompressor;

// Deflated entries of up to kLargestWholeEntry bytes are read and decompressed whole, with
// libdeflate, instead of through libarchive's stream: libdeflate decompresses several times
// faster than zlib's inflate and computes the CRC-32 with the processor's carry-less multiply,
// and a whole entry in memory needs neither inflate's window nor its copies. Larger, stored or
// unusual entries, and any entry for which something does not match, go the streaming way,
// which also reports any damage in its own words: this way only ever takes what it can check.

inline constexpr std::uint64_t kLargestWholeEntry = 8u << 20;
// Below this size the stream wins: libarchive's reader takes a small entry out of the block it
// has already read, where the whole-entry way makes two reads of its own.
inline constexpr std::uint64_t kSmallestWholeEntry = 4096;

// For each of the plan's entries, the central directory header to decompress it whole from,
// or null. Only names stored once, deflated, unencrypted, of the size the plan states.
std::vector<const StoredEntry *> wholeEntriesFor(const ExtractionPlan &plan, const std::vector<StoredEntry> &stored);

// One per worker: its decompressor and buffers, reused from entry to entry.
class WholeEntryReader {
public:
    WholeEntryReader();
    ~WholeEntryReader();
    WholeEntryReader(const WholeEntryReader &) = delete;
    WholeEntryReader &operator=(const WholeEntryReader &) = delete;

    // The entry's data, decompressed and checked against its size and CRC-32, or null when
    // it cannot be taken this way (read failure, a local header that disagrees, bad data):
    // the caller then reads the entry through libarchive. `streamData` is where libarchive's
    // reader, standing at this entry, finds its data: the bytes read here must be those.
    const char *read(const ArchiveFile &file, const StoredEntry &entry, std::int64_t streamData);

private:
    struct Deleter {
        void operator()(libdeflate_decompressor *d) const;
    };
    // Grown as needed, never cleared: only what a read fills is touched.
    struct Buffer {
        std::unique_ptr<char[]> bytes;
        std::size_t capacity = 0;
        char *reserve(std::size_t size);
    };
    std::unique_ptr<libdeflate_decompressor, Deleter> decompressor_;
    Buffer packed_;
    Buffer data_;
};

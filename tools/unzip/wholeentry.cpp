#include "tools/unzip/wholeentry.h"

#include <libdeflate.h>

#include <cstring>
#include <unordered_map>

namespace {

constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::uint32_t kLocalHeaderMagic = 0x04034b50;
constexpr unsigned kDeflated = 8;
constexpr unsigned kEncrypted = 1u << 0;
constexpr unsigned kStrongEncryption = 1u << 6;

// Whether the local header `h`, followed by its name, stands for `entry` as libarchive reads
// it. libarchive takes the name, method and encryption from the local header, and the CRC-32
// and sizes from it too unless they are zero (it refuses ones that differ from the central
// directory's): a header that disagrees on any of them is left to libarchive.
bool describesEntry(const unsigned char *h, const StoredEntry &entry)
{
    const std::uint32_t crc = littleEndian32(h + 14), packedSize = littleEndian32(h + 18), size = littleEndian32(h + 22);
    return littleEndian32(h) == kLocalHeaderMagic && (littleEndian16(h + 6) & (kEncrypted | kStrongEncryption)) == 0
           && littleEndian16(h + 8) == entry.method && (crc == 0 || crc == entry.crc32)
           && (packedSize == 0 || packedSize == entry.packedSize) && (size == 0 || size == entry.size)
           && littleEndian16(h + 26) == entry.name.size()
           && std::memcmp(h + kLocalHeaderSize, entry.name.data(), entry.name.size()) == 0;
}

}  // namespace

std::vector<const StoredEntry *> wholeEntriesFor(const ExtractionPlan &plan, const std::vector<StoredEntry> &stored)
{
    // A name stored twice is left to libarchive, which decides which of the two is written.
    std::unordered_map<std::string_view, const StoredEntry *> byName;
    for (const StoredEntry &s : stored) {
        const auto [it, added] = byName.emplace(s.name, &s);
        if (!added)
            it->second = nullptr;
    }
    std::vector<const StoredEntry *> whole(plan.entries.size(), nullptr);
    for (std::size_t i = 0; i < plan.entries.size(); ++i) {
        const PlannedEntry &e = plan.entries[i];
        const auto it = byName.find(e.name);
        if (e.kind != PlannedEntry::File || it == byName.end() || !it->second)
            continue;
        const StoredEntry &s = *it->second;
        if (s.method == kDeflated && !(s.flags & (kEncrypted | kStrongEncryption)) && s.size == e.size && s.size >= kSmallestWholeEntry
            && s.size <= kLargestWholeEntry && s.packedSize <= kLargestWholeEntry)
            whole[i] = &s;
    }
    return whole;
}

void WholeEntryReader::Deleter::operator()(libdeflate_decompressor *d) const { libdeflate_free_decompressor(d); }

WholeEntryReader::WholeEntryReader() : decompressor_(libdeflate_alloc_decompressor()) {}

WholeEntryReader::~WholeEntryReader() = default;

char *WholeEntryReader::Buffer::reserve(std::size_t size)
{
    if (size > capacity) {
        bytes.reset(new char[size]);
        capacity = size;
    }
    return bytes.get();
}

const char *WholeEntryReader::read(const ArchiveFile &file, const StoredEntry &entry, std::int64_t streamData)
{
    // The local header with the name it should carry, read into the buffer the data goes to next.
    const std::size_t headerSize = kLocalHeaderSize + entry.name.size();
    auto *header = reinterpret_cast<unsigned char *>(packed_.reserve(headerSize));
    if (!decompressor_ || !readExactly(file, entry.headerOffset, header, headerSize).empty()
        || !describesEntry(header, entry))
        return nullptr;
    const std::uint64_t dataOffset = entry.headerOffset + headerSize + littleEndian16(header + 28);
    if (dataOffset != static_cast<std::uint64_t>(streamData) || dataOffset + entry.packedSize > static_cast<std::uint64_t>(file.size()))
        return nullptr;
    const auto packedSize = static_cast<std::size_t>(entry.packedSize);
    const auto size = static_cast<std::size_t>(entry.size);
    char *packed = packed_.reserve(packedSize);
    char *data = data_.reserve(size);
    if (!readExactly(file, dataOffset, packed, packedSize).empty())
        return nullptr;
    // The stream must fill the stated size exactly and end exactly at the stated packed size.
    std::size_t used = 0, made = 0;
    if (libdeflate_deflate_decompress_ex(decompressor_.get(), packed, packedSize, data, size, &used, &made)
            != LIBDEFLATE_SUCCESS
        || made != size || used != packedSize)
        return nullptr;
    if (libdeflate_crc32(0, data, size) != entry.crc32)
        return nullptr;
    return data;
}

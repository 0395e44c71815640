#include "tools/unzip/centraldirectory.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kEndRecordSize = 22;       // without its comment
constexpr std::size_t kMaxCommentSize = 0xFFFF;  // the comment length is a 16-bit field
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kFileHeaderSize = 46;
constexpr std::uint64_t kLargestDirectory = 64u << 20;
constexpr std::uint32_t kEndRecordMagic = 0x06054b50;
constexpr std::uint32_t kZip64LocatorMagic = 0x07064b50;
constexpr std::uint32_t kFileHeaderMagic = 0x02014b50;
constexpr std::uint32_t kUnset32 = 0xFFFFFFFF;  // "see the zip64 extra field"
constexpr unsigned kUnset16 = 0xFFFF;

}  // namespace

std::string_view EndRecord::comment() const
{
    return {reinterpret_cast<const char *>(tail.data()) + at + kEndRecordSize, tail.size() - at - kEndRecordSize};
}

std::string readExactly(const ArchiveFile &file, std::uint64_t offset, void *buffer, std::size_t size)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    while (size > 0) {
        std::string reason;
        const std::int64_t n = file.readAt(static_cast<std::int64_t>(offset), bytes, size, reason);
        if (n < 0)
            return reason;
        if (n == 0)
            return "the file became shorter while it was read";
        bytes += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

bool readEndRecord(const ArchiveFile &file, EndRecord &record, std::string &readError)
{
    const auto size = static_cast<std::uint64_t>(file.size());
    const std::size_t tailSize = static_cast<std::size_t>(std::min<std::uint64_t>(size, kEndRecordSize + kMaxCommentSize));
    record.tail.assign(tailSize, 0);
    record.tailOffset = size - tailSize;
    readError = readExactly(file, record.tailOffset, record.tail.data(), tailSize);
    if (!readError.empty())
        return false;
    // A valid signature comment is printable ASCII, so no second record can hide inside it.
    for (std::size_t at = tailSize >= kEndRecordSize ? tailSize - kEndRecordSize + 1 : 0; at-- > 0;) {
        const unsigned char *p = record.tail.data() + at;
        if (littleEndian32(p) == kEndRecordMagic && at + kEndRecordSize + littleEndian16(p + 20) == tailSize) {
            record.at = at;
            return true;
        }
    }
    return false;
}

bool readCentralDirectory(const ArchiveFile &file, std::vector<StoredEntry> &entries)
{
    entries.clear();
    EndRecord end;
    if (std::string readError; !readEndRecord(file, end, readError))
        return false;
    const unsigned char *e = end.tail.data() + end.at;
    const std::uint64_t endOffset = end.tailOffset + end.at;
    const unsigned disk = littleEndian16(e + 4), directoryDisk = littleEndian16(e + 6);
    const unsigned onDisk = littleEndian16(e + 8), count = littleEndian16(e + 10);
    const std::uint64_t directorySize = littleEndian32(e + 12), directoryOffset = littleEndian32(e + 16);
    if (disk != 0 || directoryDisk != 0 || onDisk != count || count == kUnset16 || directorySize == kUnset32
        || directoryOffset == kUnset32)
        return false;
    if (end.at >= kZip64LocatorSize && littleEndian32(e - kZip64LocatorSize) == kZip64LocatorMagic)
        return false;
    // Data before the archive (a self-extracting stub) shifts every offset: not taken on.
    if (directoryOffset + directorySize != endOffset || directorySize > kLargestDirectory)
        return false;

    std::vector<unsigned char> directory(static_cast<std::size_t>(directorySize));
    if (!readExactly(file, directoryOffset, directory.data(), directory.size()).empty())
        return false;
    entries.reserve(count);
    std::size_t at = 0;
    for (unsigned i = 0; i < count; ++i) {
        if (directory.size() - at < kFileHeaderSize)
            return false;
        const unsigned char *h = directory.data() + at;
        const std::size_t nameSize = littleEndian16(h + 28), extraSize = littleEndian16(h + 30),
                          commentSize = littleEndian16(h + 32);
        const std::size_t headerSize = kFileHeaderSize + nameSize + extraSize + commentSize;
        if (littleEndian32(h) != kFileHeaderMagic || directory.size() - at < headerSize)
            return false;
        StoredEntry entry;
        entry.flags = littleEndian16(h + 8);
        entry.method = littleEndian16(h + 10);
        entry.crc32 = littleEndian32(h + 16);
        entry.packedSize = littleEndian32(h + 20);
        entry.size = littleEndian32(h + 24);
        entry.headerOffset = littleEndian32(h + 42);
        if (littleEndian16(h + 34) != 0 || entry.packedSize == kUnset32 || entry.size == kUnset32
            || entry.headerOffset == kUnset32 || entry.headerOffset >= directoryOffset)
            return false;
        entry.name.assign(reinterpret_cast<const char *>(h) + kFileHeaderSize, nameSize);
        entries.push_back(std::move(entry));
        at += headerSize;
    }
    return at == directory.size();
}

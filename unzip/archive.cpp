#include "unzip/archive.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Reads start small after a jump (a reader passing over other workers' entries needs only
// their headers) and double while reading goes on, up to a size at which a stored entry is
// copied in few system calls and eight workers' buffers still do not matter.
constexpr std::size_t kFirstBlock = 16 * 1024;
constexpr std::size_t kLargestBlock = 256 * 1024;

// libarchive ends some of its messages with a line feed; ours are one line without.
std::string errorText(archive *a)
{
    const char *text = archive_error_string(a);
    std::string message = text ? text : "unknown error";
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}

// libarchive reports unrecognised or malformed data with EILSEQ (EFTYPE where the system has
// it) or its own code -1; anything else is the system's reason for not reading the file.
bool isFormatError(int code)
{
#ifdef EFTYPE
    if (code == EFTYPE)
        return true;
#endif
    return code == EILSEQ || code == -1;
}

}  // namespace

void ArchiveReader::Deleter::operator()(archive *a) const
{
    archive_read_free(a);
}

ArchiveReader::ArchiveReader(const ArchiveFile &file) : file_(file) {}

ArchiveReader::~ArchiveReader() = default;

Result<> ArchiveReader::open()
{
    archive_.reset(archive_read_new());
    buffer_.reset(new char[kLargestBlock]);
    nextBlock_ = kFirstBlock;
    if (!archive_)
        return Failure{"out of memory", ENOMEM};
    archive *a = archive_.get();
    archive_read_support_format_zip_seekable(a);
    // The central directory is preferred whenever there is one; the streaming reader only
    // takes archives without (an empty zip, or one cut short), which then fail with a reason.
    archive_read_support_format_zip_streamable(a);
    archive_read_set_callback_data(a, this);
    archive_read_set_read_callback(a, &ArchiveReader::readBlock);
    archive_read_set_skip_callback(a, &ArchiveReader::skipBytes);
    archive_read_set_seek_callback(a, &ArchiveReader::seekTo);
    if (archive_read_open1(a) == ARCHIVE_OK)
        return {};
    if (isFormatError(archive_errno(a)))
        return Failure{damagedText(), archive_errno(a)};
    return Failure{"cannot read archive '" + file_.name() + "': " + errorText(a), archive_errno(a)};
}

Result<ArchiveReader::Next> ArchiveReader::next(archive_entry *&entry)
{
    const int r = archive_read_next_header(archive_.get(), &entry);
    if (r == ARCHIVE_EOF)
        return Next::End;
    if (r == ARCHIVE_OK)
        return Next::Entry;
    return Failure{damagedText(), archive_errno(archive_.get())};
}

std::int64_t ArchiveReader::position() const
{
    return archive_filter_bytes(archive_.get(), 0);
}

std::string ArchiveReader::damagedText() const
{
    return damagedText(errorText(archive_.get()));
}

std::string ArchiveReader::damagedText(const std::string &why) const
{
    return "archive '" + file_.name() + "' is damaged or not a zip archive: " + why;
}

la_ssize_t ArchiveReader::readBlock(archive *a, void *self, const void **block)
{
    auto *reader = static_cast<ArchiveReader *>(self);
    const Result<std::int64_t> read = reader->file_.readAt(reader->position_, reader->buffer_.get(), reader->nextBlock_);
    if (!read) {
        archive_set_error(a, EIO, "read error: %s", read.failure().text.c_str());
        return ARCHIVE_FATAL;
    }
    const std::int64_t n = read.value();
    reader->position_ += n;
    reader->nextBlock_ = std::min(reader->nextBlock_ * 2, kLargestBlock);
    *block = reader->buffer_.get();
    return static_cast<la_ssize_t>(n);
}

la_int64_t ArchiveReader::skipBytes(archive *, void *self, la_int64_t request)
{
    auto *reader = static_cast<ArchiveReader *>(self);
    const std::int64_t left = reader->file_.size() - reader->position_;
    const std::int64_t skipped = request < left ? request : (left > 0 ? left : 0);
    reader->position_ += skipped;
    reader->nextBlock_ = kFirstBlock;
    return skipped;
}

la_int64_t ArchiveReader::seekTo(archive *a, void *self, la_int64_t offset, int whence)
{
    auto *reader = static_cast<ArchiveReader *>(self);
    std::int64_t target = offset;
    if (whence == SEEK_CUR)
        target += reader->position_;
    else if (whence == SEEK_END)
        target += reader->file_.size();
    if (target < 0) {
        archive_set_error(a, EINVAL, "seek before the start of the archive");
        return ARCHIVE_FATAL;
    }
    if (target != reader->position_)
        reader->nextBlock_ = kFirstBlock;
    reader->position_ = target;
    return target;
}

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

Result<> readExactly(const ArchiveFile &file, std::uint64_t offset, void *buffer, std::size_t size)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    while (size > 0) {
        const Result<std::int64_t> read = file.readAt(static_cast<std::int64_t>(offset), bytes, size);
        if (!read)
            return read.failure();
        const std::int64_t n = read.value();
        if (n == 0)
            return Failure{"the file became shorter while it was read"};
        bytes += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

Result<bool> readEndRecord(const ArchiveFile &file, EndRecord &record)
{
    const auto size = static_cast<std::uint64_t>(file.size());
    const std::size_t tailSize = static_cast<std::size_t>(std::min<std::uint64_t>(size, kEndRecordSize + kMaxCommentSize));
    record.tail.assign(tailSize, 0);
    record.tailOffset = size - tailSize;
    if (Result<> read = readExactly(file, record.tailOffset, record.tail.data(), tailSize); !read)
        return read.failure();
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
    if (const Result<bool> found = readEndRecord(file, end); !found || !found.value())
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
    if (!readExactly(file, directoryOffset, directory.data(), directory.size()))
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

#include "tools/unzip/archivereader.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

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

bool ArchiveReader::open(std::string &error)
{
    archive_.reset(archive_read_new());
    buffer_.reset(new char[kLargestBlock]);
    nextBlock_ = kFirstBlock;
    if (!archive_) {
        error = "out of memory";
        return false;
    }
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
        return true;
    error = isFormatError(archive_errno(a)) ? damagedText()
                                            : "cannot read archive '" + file_.name() + "': " + errorText(a);
    return false;
}

ArchiveReader::Next ArchiveReader::next(archive_entry *&entry, std::string &error)
{
    const int r = archive_read_next_header(archive_.get(), &entry);
    if (r == ARCHIVE_EOF)
        return Next::End;
    if (r == ARCHIVE_OK)
        return Next::Entry;
    error = damagedText();
    return Next::Damaged;
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
    std::string reason;
    const std::int64_t n = reader->file_.readAt(reader->position_, reader->buffer_.get(), reader->nextBlock_, reason);
    if (n < 0) {
        archive_set_error(a, EIO, "read error: %s", reason.c_str());
        return ARCHIVE_FATAL;
    }
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

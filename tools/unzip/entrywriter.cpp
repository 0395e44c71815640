#include "tools/unzip/entrywriter.h"

#include "tools/unzip/directoryops.h"
#include "tools/unzip/stoprequest.h"

bool writeFile(ArchiveReader &reader, const char *data, NativeValue parent, const PlannedEntry &entry, bool flush,
               const std::atomic<bool> &abandon, std::string &error)
{
    OutputFile out(parent, entry);
    if (!out.create(error))
        return false;
    if (data) {
        if (!out.writeAt(data, static_cast<std::size_t>(entry.size), 0, error))
            return false;
        return out.finish(flush, error);
    }
    for (;;) {
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int r = archive_read_data_block(reader.handle(), &block, &size, &offset);
        if (r == ARCHIVE_EOF)
            break;
        // A warning here is a checksum mismatch or a short entry: the data is not trustworthy.
        if (r != ARCHIVE_OK) {
            error = reader.damagedText();
            return false;
        }
        if (!out.writeAt(static_cast<const char *>(block), size, offset, error))
            return false;
        if (stopRequested()) {
            error = "interrupted";
            return false;
        }
        if (abandon.load(std::memory_order_relaxed)) {
            error = "abandoned";
            return false;
        }
    }
    return out.finish(flush, error);
}

bool flushDirectory(NativeValue parent, const PlannedDirectory &directory, std::string &error)
{
    std::string reason;
    const NativeHandle opened = openDirectoryAt(parent, directory.leaf, reason);
    if (opened.valid() && flushOpenDirectory(opened.get(), reason))
        return true;
    error = "cannot write '" + directory.path + "': " + reason;
    return false;
}

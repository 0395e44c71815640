#include "tools/unzip/entrywriter.h"

#include "platform/posix/uniquefd_posix.h"
#include "tools/unzip/stoprequest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string systemError(const std::string &what, const std::string &name)
{
    return what + " '" + name + "': " + std::strerror(errno);
}

// Null when the archive records no time: the entry keeps the time it was made.
const timespec *toTimespecs(const EntryTimes &t, timespec (&out)[2])
{
    if (!t.accessSet && !t.modifySet)
        return nullptr;
    out[0].tv_sec = static_cast<time_t>(t.accessSeconds);
    out[0].tv_nsec = t.accessSet ? t.accessNanoseconds : UTIME_OMIT;
    out[1].tv_sec = static_cast<time_t>(t.modifySeconds);
    out[1].tv_nsec = t.modifySet ? t.modifyNanoseconds : UTIME_OMIT;
    return out;
}

bool writeAll(int fd, const char *data, std::size_t size, std::int64_t offset)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

} // namespace

bool createDirectory(int parent, const PlannedDirectory &directory, std::string &error)
{
    if (::mkdirat(parent, directory.leaf.c_str(), static_cast<mode_t>(directory.permissions | 0700)) == 0)
        return true;
    error = systemError("cannot create", directory.path);
    return false;
}

bool finishDirectory(int parent, const PlannedDirectory &directory, mode_t umask, std::string &error)
{
    if (!directory.listed)
        return true;
    const mode_t wanted = static_cast<mode_t>(directory.permissions) & ~umask;
    const mode_t made = static_cast<mode_t>(directory.permissions | 0700) & ~umask;
    if (wanted != made && ::fchmodat(parent, directory.leaf.c_str(), wanted, AT_SYMLINK_NOFOLLOW) != 0) {
        error = systemError("cannot set the permissions of", directory.path);
        return false;
    }
    timespec times[2];
    if (const timespec *t = toTimespecs(directory.times, times);
        t && ::utimensat(parent, directory.leaf.c_str(), t, AT_SYMLINK_NOFOLLOW) != 0) {
        error = systemError("cannot set the time of", directory.path);
        return false;
    }
    return true;
}

bool writeLink(int parent, const PlannedEntry &entry, std::string &error)
{
    if (::symlinkat(entry.target.c_str(), parent, entry.leaf.c_str()) != 0) {
        error = systemError("cannot create", entry.name);
        return false;
    }
    timespec times[2];
    if (const timespec *t = toTimespecs(entry.times, times);
        t && ::utimensat(parent, entry.leaf.c_str(), t, AT_SYMLINK_NOFOLLOW) != 0) {
        error = systemError("cannot set the time of", entry.name);
        return false;
    }
    return true;
}

bool writeFile(ArchiveReader &reader, int parent, const PlannedEntry &entry, bool flush,
               const std::atomic<bool> &abandon, std::string &error)
{
    UniqueFd out(::openat(parent, entry.leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    static_cast<mode_t>(entry.permissions)));
    if (!out.valid()) {
        error = systemError("cannot create", entry.name);
        return false;
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
        if (!writeAll(out.get(), static_cast<const char *>(block), size, offset)) {
            error = systemError("cannot write", entry.name);
            return false;
        }
        if (stopRequested()) {
            error = "interrupted";
            return false;
        }
        if (abandon.load(std::memory_order_relaxed)) {
            error = "abandoned";
            return false;
        }
    }
    timespec times[2];
    if (const timespec *t = toTimespecs(entry.times, times); t && ::futimens(out.get(), t) != 0) {
        error = systemError("cannot set the time of", entry.name);
        return false;
    }
    if (flush && ::fdatasync(out.get()) != 0) {
        error = systemError("cannot write", entry.name);
        return false;
    }
    if (::close(out.release()) != 0) {
        error = systemError("cannot write", entry.name);
        return false;
    }
    return true;
}

bool flushDirectory(int parent, const PlannedDirectory &directory, std::string &error)
{
    const UniqueFd fd(::openat(parent, directory.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid() || ::fsync(fd.get()) != 0) {
        error = systemError("cannot write", directory.path);
        return false;
    }
    return true;
}

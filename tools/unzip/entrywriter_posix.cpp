#include "tools/unzip/entrywriter.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

int fd(NativeValue value) { return static_cast<int>(value); }

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

// The archive's times, when it has them, on the entry `leaf` itself (never a link's target).
bool setTimesAt(NativeValue parent, const std::string &leaf, const EntryTimes &entryTimes, const std::string &shown,
                std::string &error)
{
    timespec times[2];
    if (const timespec *t = toTimespecs(entryTimes, times);
        t && ::utimensat(fd(parent), leaf.c_str(), t, AT_SYMLINK_NOFOLLOW) != 0) {
        error = systemError("cannot set the time of", shown);
        return false;
    }
    return true;
}

}  // namespace

bool prepareToWriteLinks(std::string &)
{
    return true;
}

unsigned creationMask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

bool createDirectory(NativeValue parent, const PlannedDirectory &directory, std::string &error)
{
    if (::mkdirat(fd(parent), directory.leaf.c_str(), static_cast<mode_t>(directory.permissions | 0700)) == 0)
        return true;
    error = systemError("cannot create", directory.path);
    return false;
}

bool finishDirectory(NativeValue parent, const PlannedDirectory &directory, unsigned mask, std::string &error)
{
    if (!directory.listed)
        return true;
    const mode_t wanted = static_cast<mode_t>(directory.permissions & ~mask);
    const mode_t made = static_cast<mode_t>((directory.permissions | 0700) & ~mask);
    if (wanted != made && ::fchmodat(fd(parent), directory.leaf.c_str(), wanted, AT_SYMLINK_NOFOLLOW) != 0) {
        error = systemError("cannot set the permissions of", directory.path);
        return false;
    }
    return setTimesAt(parent, directory.leaf, directory.times, directory.path, error);
}

bool writeLink(NativeValue parent, const PlannedEntry &entry, std::string &error)
{
    if (::symlinkat(entry.target.c_str(), fd(parent), entry.leaf.c_str()) != 0) {
        error = systemError("cannot create", entry.name);
        return false;
    }
    return setTimesAt(parent, entry.leaf, entry.times, entry.name, error);
}

bool OutputFile::create(std::string &error)
{
    handle_.reset(::openat(fd(parent_), entry_.leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           static_cast<mode_t>(entry_.permissions)));
    if (handle_.valid())
        return true;
    error = systemError("cannot create", entry_.name);
    return false;
}

bool OutputFile::writeAt(const char *data, std::size_t size, std::int64_t offset, std::string &error)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd(handle_.get()), data, size, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = systemError("cannot write", entry_.name);
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

bool OutputFile::finish(FileFlush flush, StartedFiles *started, std::string &error)
{
    timespec times[2];
    if (const timespec *t = toTimespecs(entry_.times, times); t && ::futimens(fd(handle_.get()), t) != 0) {
        error = systemError("cannot set the time of", entry_.name);
        return false;
    }
    if (flush == FileFlush::Started && started) {
        // Only a head start: a file system without it still has its data waited for later.
        (void)::sync_file_range(fd(handle_.get()), 0, 0, SYNC_FILE_RANGE_WRITE);
        return started->add(std::move(handle_), entry_, error);
    }
    if (flush == FileFlush::Now && ::fdatasync(fd(handle_.get())) != 0) {
        error = systemError("cannot write", entry_.name);
        return false;
    }
    if (::close(fd(handle_.release())) != 0) {
        error = systemError("cannot write", entry_.name);
        return false;
    }
    return true;
}

std::size_t openFilesAtMost()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return static_cast<std::size_t>(std::min<rlim_t>(limit.rlim_cur, rlim_t{1} << 20));
}

bool waitForStartedFile(NativeHandle &file, std::string &reason)
{
    const bool written = ::fdatasync(fd(file.get())) == 0;
    const int writeError = errno;
    const bool closed = ::close(fd(file.release())) == 0;
    if (written && closed)
        return true;
    reason = std::strerror(written ? errno : writeError);
    return false;
}

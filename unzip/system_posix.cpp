#include "unzip/system.h"

#include "platform/posix/uniquefd_posix.h"
#include "unzip/archive.h"
#include "platform/posix/directorywalk_posix.h"
#include "platform/posix/removetreeat_posix.h"
#include "unzip/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <archive_entry.h>
#include <dirent.h>
#include <sys/resource.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

int closeNativeHandle(NativeValue value)
{
    return FdTraits::close(static_cast<int>(value));
}

namespace {

// The system's reason for `error` (an errno value), without a name.
Failure systemFailure(int error)
{
    return {std::strerror(error), error};
}

}  // namespace

Result<std::unique_ptr<ArchiveFile>> ArchiveFile::open(const std::string &path)
{
    const std::string what = "cannot open archive '" + path + "'";
    // Non-blocking, so that a FIFO under the archive's name is refused rather than waited on.
    NativeHandle fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid())
        return (errno == ENOENT ? Failure{"no such file", ENOENT} : systemFailure(errno)).about(what);
    struct stat st {};
    if (::fstat(static_cast<int>(fd.get()), &st) != 0)
        return systemFailure(errno).about(what);
    if (!S_ISREG(st.st_mode))
        return Failure{"not a regular file"}.about(what);
    return std::unique_ptr<ArchiveFile>(new ArchiveFile(std::move(fd), st.st_size, path));
}

Result<std::int64_t> ArchiveFile::readAt(std::int64_t offset, void *buffer, std::size_t size) const
{
    ssize_t n;
    do {
        n = ::pread(static_cast<int>(handle_.get()), buffer, size, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return systemFailure(errno);
    return std::int64_t{n};
}

void ArchiveFile::expectSequentialRead(std::int64_t length) const
{
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(static_cast<int>(handle_.get()), 0, static_cast<off_t>(length), POSIX_FADV_SEQUENTIAL);
#else
    (void)length;
#endif
}

// UTF-8 in the C.UTF-8 locale the tool sets (prepareProcess(), below), converted from the
// archive's names as libarchive reads them.
bool entryName(archive_entry *entry, std::string &name)
{
    const char *text = archive_entry_pathname_utf8(entry);
    if (text == nullptr)
        return false;
    name = text;
    return true;
}

bool entryLinkTarget(archive_entry *entry, std::string &target)
{
    const char *text = archive_entry_symlink_utf8(entry);
    target = text != nullptr ? text : "";
    return text != nullptr;
}

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int fd(NativeValue value) { return static_cast<int>(value); }

std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

}  // namespace

Result<NativeHandle> openDestination(const std::string &given)
{
    const std::string path = withoutTrailingSlashes(given);
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    if (ec)
        return Failure{"cannot create '" + parent.string() + "': " + ec.message(), ec.value()};
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
        return systemFailure(errno).about("cannot create '" + given + "'");
    NativeHandle destination(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (destination.valid())
        return destination;
    const int openError = errno;
    struct stat st {};
    if (openError == ENOENT && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return Failure{"cannot extract into '" + given + "': it is a symbolic link to nothing", openError};
    if (openError == ENOTDIR)
        return Failure{"'" + given + "' is not a directory", openError};
    return systemFailure(openError).about("cannot open '" + given + "'");
}

Result<NativeHandle> openDirectoryAt(NativeValue parent, const std::string &name)
{
    // O_PATH: only a handle to make and open things below, which needs no read permission.
    NativeHandle dir(::openat(fd(parent), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid())
        return systemFailure(errno);
    return dir;
}

Result<> makeDirectoryAt(NativeValue parent, const std::string &name, unsigned permissions)
{
    if (::mkdirat(fd(parent), name.c_str(), static_cast<mode_t>(permissions)) == 0)
        return {};
    return systemFailure(errno);
}

bool alreadyThere(const Failure &failure)
{
    return failure.code == EEXIST;
}

bool existsAt(NativeValue directory, const std::string &name)
{
    struct stat st {};
    return ::fstatat(fd(directory), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

Result<std::vector<DirectoryEntry>> listDirectory(NativeValue directory)
{
    const int listed = fd(directory);
    std::vector<DirectoryEntry> entries;
    const int error = walkDirectory(listed, [&](const char *name, unsigned char type) {
        bool isDirectory = type == DT_DIR;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            isDirectory = ::fstatat(listed, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        entries.push_back({name, isDirectory});
        return true;
    });
    if (error != 0)
        return systemFailure(error);
    return entries;
}

Result<> moveEntry(NativeValue from, const std::string &name, NativeValue to)
{
    // renameat moves a link itself, never what it points to.
    if (::renameat(fd(from), name.c_str(), fd(to), name.c_str()) == 0)
        return {};
    return systemFailure(errno);
}

namespace {

// `flush` (fsync or syncfs) on a descriptor that they take (openDirectoryAt's O_PATH ones are not).
Result<> flushThrough(NativeValue directory, int (*flush)(int))
{
    const UniqueFd opened(::openat(fd(directory), ".", kDirectoryFlags));
    if (opened.valid() && flush(opened.get()) == 0)
        return {};
    return systemFailure(errno);
}

}  // namespace

Result<> flushOpenDirectory(NativeValue directory)
{
    return flushThrough(directory, ::fsync);
}

Result<> flushFileSystemOf(NativeValue directory)
{
    return flushThrough(directory, ::syncfs);
}

bool canFlushFileSystem()
{
    return true;
}

bool removeTreeAt(NativeValue parent, const std::string &name)
{
    // The tool's own trees may hold directories the archive made read-only; it removes what it
    // can and reports whether anything is left.
    TreeRemoval removal;
    removal.openUp = true;
    removal.keepGoing = true;
    return removeTreeAt(static_cast<int>(parent), name.c_str(), name, removal);
}

namespace {

Failure systemError(const std::string &what, const std::string &name)
{
    return systemFailure(errno).about(what + " '" + name + "'");
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
Result<> setTimesAt(NativeValue parent, const std::string &leaf, const EntryTimes &entryTimes, const std::string &shown)
{
    timespec times[2];
    if (const timespec *t = toTimespecs(entryTimes, times);
        t && ::utimensat(fd(parent), leaf.c_str(), t, AT_SYMLINK_NOFOLLOW) != 0)
        return systemError("cannot set the time of", shown);
    return {};
}

}  // namespace

Result<> prepareToWriteLinks()
{
    return {};
}

unsigned creationMask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

Result<> createDirectory(NativeValue parent, const PlannedDirectory &directory)
{
    if (::mkdirat(fd(parent), directory.leaf.c_str(), static_cast<mode_t>(directory.permissions | 0700)) == 0)
        return {};
    return systemError("cannot create", directory.path);
}

Result<> finishDirectory(NativeValue parent, const PlannedDirectory &directory, unsigned mask)
{
    if (!directory.listed)
        return {};
    const mode_t wanted = static_cast<mode_t>(directory.permissions & ~mask);
    const mode_t made = static_cast<mode_t>((directory.permissions | 0700) & ~mask);
    if (wanted != made && ::fchmodat(fd(parent), directory.leaf.c_str(), wanted, AT_SYMLINK_NOFOLLOW) != 0)
        return systemError("cannot set the permissions of", directory.path);
    return setTimesAt(parent, directory.leaf, directory.times, directory.path);
}

Result<> writeLink(NativeValue parent, const PlannedEntry &entry)
{
    if (::symlinkat(entry.target.c_str(), fd(parent), entry.leaf.c_str()) != 0)
        return systemError("cannot create", entry.name);
    return setTimesAt(parent, entry.leaf, entry.times, entry.name);
}

Result<> OutputFile::create()
{
    handle_.reset(::openat(fd(parent_), entry_.leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           static_cast<mode_t>(entry_.permissions)));
    if (handle_.valid())
        return {};
    return systemError("cannot create", entry_.name);
}

Result<> OutputFile::writeAt(const char *data, std::size_t size, std::int64_t offset)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd(handle_.get()), data, size, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return systemError("cannot write", entry_.name);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return {};
}

Result<> OutputFile::finish(FileFlush flush, StartedFiles *started)
{
    timespec times[2];
    if (const timespec *t = toTimespecs(entry_.times, times); t && ::futimens(fd(handle_.get()), t) != 0)
        return systemError("cannot set the time of", entry_.name);
    if (flush == FileFlush::Started && started) {
        // Only a head start: a file system without it still has its data waited for later.
        (void)::sync_file_range(fd(handle_.get()), 0, 0, SYNC_FILE_RANGE_WRITE);
        return started->add(std::move(handle_), entry_);
    }
    if (flush == FileFlush::Now && ::fdatasync(fd(handle_.get())) != 0)
        return systemError("cannot write", entry_.name);
    if (::close(fd(handle_.release())) != 0)
        return systemError("cannot write", entry_.name);
    return {};
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

Result<> waitForStartedFile(NativeHandle &file)
{
    const bool written = ::fdatasync(fd(file.get())) == 0;
    const int writeError = errno;
    const bool closed = ::close(fd(file.release())) == 0;
    if (written && closed)
        return {};
    return systemFailure(written ? errno : writeError);
}

namespace {

extern "C" void onStopSignal(int) { requestStop(); }

}  // namespace

void installStopHandlers()
{
    // Fails only for a signal number that does not exist or cannot be caught.
    (void)std::signal(SIGINT, onStopSignal);
    (void)std::signal(SIGTERM, onStopSignal);
    (void)std::signal(SIGHUP, onStopSignal);
}

std::vector<std::string> toolArguments(int argc, char **argv)
{
    return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

void prepareProcess()
{
    // Entry names in a zip are UTF-8 (or converted to it): extract them to UTF-8 file names,
    // whatever locale the launcher was started in, rather than refusing them.
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        (void)std::setlocale(LC_CTYPE, "");  // failing too, names are taken byte for byte
    // libarchive turns each entry's DOS time into a time_t with mktime(), and with TZ unset
    // glibc checks /etc/localtime for changes on every call, under a lock that the workers
    // would queue for. Naming the same file the system default names keeps the time zone
    // and drops the check.
    if (!std::getenv("TZ"))
        ::setenv("TZ", ":/etc/localtime", 1);
}

unsigned availableCores()
{
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

void nameCurrentThread(const char *name)
{
    ::pthread_setname_np(::pthread_self(), name);
}

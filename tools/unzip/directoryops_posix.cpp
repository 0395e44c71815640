#include "tools/unzip/directoryops.h"

#include "platform/posix/directorywalk_posix.h"
#include "platform/posix/uniquefd_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

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

NativeHandle openDestination(const std::string &given, std::string &error)
{
    const std::string path = withoutTrailingSlashes(given);
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    if (ec) {
        error = "cannot create '" + parent.string() + "': " + ec.message();
        return NativeHandle();
    }
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        error = "cannot create '" + given + "': " + std::strerror(errno);
        return NativeHandle();
    }
    NativeHandle destination(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (destination.valid())
        return destination;
    const int openError = errno;
    struct stat st {};
    if (openError == ENOENT && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        error = "cannot extract into '" + given + "': it is a symbolic link to nothing";
    else if (openError == ENOTDIR)
        error = "'" + given + "' is not a directory";
    else
        error = "cannot open '" + given + "': " + std::strerror(openError);
    return NativeHandle();
}

NativeHandle openDirectoryAt(NativeValue parent, const std::string &name, std::string &reason)
{
    // O_PATH: only a handle to make and open things below, which needs no read permission.
    NativeHandle dir(::openat(fd(parent), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid())
        reason = std::strerror(errno);
    return dir;
}

bool makeDirectoryAt(NativeValue parent, const std::string &name, unsigned permissions, bool &exists,
                     std::string &reason)
{
    exists = false;
    if (::mkdirat(fd(parent), name.c_str(), static_cast<mode_t>(permissions)) == 0)
        return true;
    exists = errno == EEXIST;
    reason = std::strerror(errno);
    return false;
}

bool existsAt(NativeValue directory, const std::string &name)
{
    struct stat st {};
    return ::fstatat(fd(directory), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool listDirectory(NativeValue directory, std::vector<DirectoryEntry> &entries, std::string &reason)
{
    const int listed = fd(directory);
    const int error = walkDirectory(listed, [&](const char *name, unsigned char type) {
        bool isDirectory = type == DT_DIR;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            isDirectory = ::fstatat(listed, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        entries.push_back({name, isDirectory});
        return true;
    });
    if (error != 0) {
        reason = std::strerror(error);
        return false;
    }
    return true;
}

bool moveEntry(NativeValue from, const std::string &name, NativeValue to, std::string &reason)
{
    // renameat moves a link itself, never what it points to.
    if (::renameat(fd(from), name.c_str(), fd(to), name.c_str()) == 0)
        return true;
    reason = std::strerror(errno);
    return false;
}

namespace {

// `flush` (fsync or syncfs) on a descriptor that they take (openDirectoryAt's O_PATH ones are not).
bool flushThrough(NativeValue directory, int (*flush)(int), std::string &reason)
{
    const UniqueFd opened(::openat(fd(directory), ".", kDirectoryFlags));
    if (opened.valid() && flush(opened.get()) == 0)
        return true;
    reason = std::strerror(errno);
    return false;
}

}  // namespace

bool flushOpenDirectory(NativeValue directory, std::string &reason)
{
    return flushThrough(directory, ::fsync, reason);
}

bool flushFileSystemOf(NativeValue directory, std::string &reason)
{
    return flushThrough(directory, ::syncfs, reason);
}

bool canFlushFileSystem()
{
    return true;
}

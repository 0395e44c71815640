// removeTree on POSIX systems: a depth-first walk over directory descriptors. Every step below
// the path names its entry relative to a directory that was opened without following a link, so
// a link anywhere in the tree (or one put in place of a directory while the walk runs) is removed
// itself and the walk never leaves the tree.
#include "platform/filehelpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/posix/uniquefd_posix.h"

namespace {

constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Nothing at the path: no such entry, a file where a directory should be on the way, a name
// too long for the file system to hold.
bool isAbsence(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG;
}

class Walk {
public:
    RemoveTreeResult result;

    bool fail(const std::string &shown, int error)
    {
        result.failedPath = shown;
        result.error = std::error_code(error, std::generic_category());
        result.reason = result.error.message();
        return false;
    }

    // Removes `name` in `dir`, and everything below it when it is a directory. `shown` is
    // how the entry is named in a failure.
    bool removeEntry(int dir, const char *name, const std::string &shown)
    {
        struct stat st {};
        if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return isAbsence(errno) ? true : fail(shown, errno);
        if (S_ISDIR(st.st_mode)) {
            UniqueFd child(::openat(dir, name, kOpenDirectory));
            if (!child) {
                if (errno == ENOENT)
                    return true;
                // Swapped for a link or a file since the look: not ours to descend into.
                if (errno != ELOOP && errno != ENOTDIR)
                    return fail(shown, errno);
            } else if (!emptyDirectory(std::move(child), shown)) {
                return false;
            } else {
                return unlinkEntry(dir, name, AT_REMOVEDIR, shown);
            }
        }
        return unlinkEntry(dir, name, 0, shown);
    }

private:
    bool unlinkEntry(int dir, const char *name, int flags, const std::string &shown)
    {
        if (::unlinkat(dir, name, flags) != 0)
            return errno == ENOENT ? true : fail(shown, errno);
        ++result.removed;
        return true;
    }

    bool emptyDirectory(UniqueFd fd, const std::string &shown)
    {
        DIR *stream = ::fdopendir(fd.get());
        if (stream == nullptr)
            return fail(shown, errno);
        fd.release();
        const int dir = ::dirfd(stream);
        bool ok = true;
        for (;;) {
            errno = 0;
            const dirent *entry = ::readdir(stream);
            if (entry == nullptr) {
                if (errno != 0)
                    ok = fail(shown, errno);
                break;
            }
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            if (!removeEntry(dir, entry->d_name, shown + "/" + entry->d_name)) {
                ok = false;
                break;
            }
        }
        ::closedir(stream);
        return ok;
    }
};

}  // namespace

RemoveTreeResult removeTree(const std::string &path)
{
    Walk walk;
    // The folder holding the entry is opened as any program opens a path: a link on the way
    // (an installation moved to another disk, with a link left in its place) is followed. The
    // entry itself is named relative to that folder and never followed.
    std::string name = path;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();  // a trailing "/" would have the entry's own link followed
    const std::size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    if (name.empty() || name == "." || name == ".." || name == "/")
        return walk.result;  // nothing of its own to remove, or not below the folder named
    UniqueFd base(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!base) {
        if (!isAbsence(errno))
            walk.fail(folder, errno);
        return walk.result;
    }
    walk.removeEntry(base.get(), name.c_str(), path.substr(0, path.find_last_not_of('/') + 1));
    return walk.result;
}

#include "platform/posix/removetreeat_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/posix/directorywalk_posix.h"
#include "platform/posix/uniquefd_posix.h"

namespace {

constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool fail(TreeRemoval &removal, const std::string &shown, int error)
{
    if (removal.error == 0) {
        removal.failedPath = shown;
        removal.error = error;
    }
    return false;
}

bool unlinkEntry(int dir, const char *name, int flags, const std::string &shown, TreeRemoval &removal)
{
    if (::unlinkat(dir, name, flags) != 0)
        return errno == ENOENT ? true : fail(removal, shown, errno);
    ++removal.removed;
    return true;
}

UniqueFd openDirectory(int parent, const char *name, const TreeRemoval &removal)
{
    UniqueFd dir(::openat(parent, name, kOpenDirectory));
    if (!dir && errno == EACCES && removal.openUp && ::fchmodat(parent, name, 0700, AT_SYMLINK_NOFOLLOW) == 0)
        dir.reset(::openat(parent, name, kOpenDirectory));
    return dir;
}

bool emptyDirectory(int dir, const std::string &shown, TreeRemoval &removal)
{
    if (removal.openUp) {
        // Owner write and search permission are needed to remove what is inside.
        struct stat st {};
        if (::fstat(dir, &st) == 0 && (st.st_mode & 0300) != 0300)
            ::fchmod(dir, (st.st_mode & 07777) | 0700);
    }
    // Names first, removal after: the listing is not disturbed by the removal.
    std::vector<std::string> names;
    if (const int error = walkDirectory(dir, [&](const char *name, unsigned char) {
            names.emplace_back(name);
            return true;
        });
        error != 0)
        return fail(removal, shown, error);
    bool ok = true;
    for (const std::string &name : names) {
        std::string child = shown;
        child += '/';
        child += name;
        ok = removeTreeAt(dir, name.c_str(), child, removal) && ok;
        if (!ok && !removal.keepGoing)
            break;
    }
    return ok;
}

}  // namespace

bool removeTreeAt(int parent, const char *name, const std::string &shown, TreeRemoval &removal)
{
    struct stat st {};
    if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return isAbsence(errno) ? true : fail(removal, shown, errno);
    if (S_ISDIR(st.st_mode)) {
        UniqueFd child = openDirectory(parent, name, removal);
        if (!child) {
            if (errno == ENOENT)
                return true;
            // Swapped for a link or a file since the look: not ours to descend into.
            if (errno != ELOOP && errno != ENOTDIR)
                return fail(removal, shown, errno);
        } else if (!emptyDirectory(child.get(), shown, removal)) {
            return false;
        } else {
            child.reset();
            return unlinkEntry(parent, name, AT_REMOVEDIR, shown, removal);
        }
    }
    return unlinkEntry(parent, name, 0, shown, removal);
}

Failure removalFailure(const std::string &path, int error)
{
    return {std::generic_category().message(error), error, path};
}

bool isAbsence(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG;
}

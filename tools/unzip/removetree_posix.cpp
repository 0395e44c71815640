#include "tools/unzip/removetree.h"

#include "platform/posix/uniquefd_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct DirCloser {
    void operator()(DIR *dir) const { ::closedir(dir); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

UniqueFd openDirectory(int parent, const char *name)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd dir(::openat(parent, name, flags));
    if (!dir.valid() && errno == EACCES && ::fchmodat(parent, name, 0700, AT_SYMLINK_NOFOLLOW) == 0)
        dir.reset(::openat(parent, name, flags));
    return dir;
}

bool removeChildren(UniqueFd dir)
{
    // Owner write and search permission are needed to remove what is inside.
    struct stat st {};
    if (::fstat(dir.get(), &st) == 0 && (st.st_mode & 0300) != 0300)
        ::fchmod(dir.get(), (st.st_mode & 07777) | 0700);
    const int fd = dir.get();
    DirStream stream(::fdopendir(dir.release()));
    if (!stream) {
        ::close(fd);
        return false;
    }
    // Names first, removal after: the listing is not disturbed by the removal.
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(stream.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    bool ok = true;
    for (const std::string &name : names)
        ok = removeTreeAt(::dirfd(stream.get()), name) && ok;
    return ok;
}

} // namespace

bool removeTreeAt(NativeValue parentHandle, const std::string &name)
{
    const int parent = static_cast<int>(parentHandle);
    if (::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM)
        return false;
    UniqueFd dir = openDirectory(parent, name.c_str());
    if (!dir.valid())
        return errno == ENOENT;
    if (!removeChildren(std::move(dir)))
        return false;
    return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

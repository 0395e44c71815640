// removeTree on POSIX systems: the folder holding the entry is opened by its path, and the entry
// removed relative to it by the descriptor-relative removal that unzip.exe uses too, which
// never follows a link in the tree.
#include "platform/filehelpers.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/posix/removetreeat_posix.h"
#include "platform/posix/uniquefd_posix.h"

Result<std::uintmax_t> removeTree(const std::string &path)
{
    // The folder holding the entry is opened as any program opens a path: a link on the way
    // (an installation moved to another disk, with a link left in its place) is followed. The
    // entry itself is named relative to that folder and never followed.
    std::string name = path;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();  // a trailing "/" would have the entry's own link followed
    const std::size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/"
                                                                             : name.substr(0, slash);
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    if (name.empty() || name == "." || name == ".." || name == "/")
        return 0;  // nothing of its own to remove, or not below the folder named
    UniqueFd base(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!base) {
        if (!isAbsence(errno))
            return removalFailure(folder, errno);
        return 0;
    }
    TreeRemoval removal;
    removeTreeAt(base.get(), name.c_str(), path.substr(0, path.find_last_not_of('/') + 1), removal);
    if (removal.error != 0)
        return removalFailure(removal.failedPath, removal.error);
    return removal.removed;
}

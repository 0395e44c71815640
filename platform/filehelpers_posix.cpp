// The file helpers' POSIX bodies: removeFileIn, then ReadableFile's shared open.
//
// removeFileIn on POSIX systems: the folder is opened without following a link at its own name,
// and the file is removed relative to that descriptor, so a folder swapped for a link meanwhile
// is never reached through.
#include "platform/filehelpers.h"

#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/posix/removetreeat_posix.h"
#include "platform/posix/uniquefd_posix.h"

Result<std::uintmax_t> removeFileIn(const std::string &folder, const std::string &name)
{
    const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) {
        // ELOOP: a link in the folder's place, whose target holds nothing of ours.
        if (errno == ELOOP || isAbsence(errno))
            return 0;
        return removalFailure(folder, errno);
    }
    if (::unlinkat(dir.get(), name.c_str(), 0) != 0) {
        // EISDIR: a folder under the file's name, left to the caller's removeTree.
        if (errno == EISDIR || isAbsence(errno))
            return 0;
        return removalFailure(folder + "/" + name, errno);
    }
    return 1;
}

std::FILE *ReadableFile::openShared(const std::string &path)
{
    // Read-only and without O_CREAT, so a missing file is never created. POSIX has no share
    // modes: other processes keep reading and writing the file while we hold it.
    // Non-blocking for the open itself: a FIFO at the path must not hang the GUI thread
    // waiting for a writer.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        return nullptr;
    struct stat st {};
    // Only a regular file is a file that is present: not a directory, a FIFO or a device.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd.get(), F_SETFL, 0) != 0)
        return nullptr;
    std::FILE *file = ::fdopen(fd.get(), "r");
    if (file != nullptr)
        fd.release();  // the stream owns it now
    return file;
}

bool isRealFolder(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

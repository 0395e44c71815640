#include "platform/filehelpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/uniquefd_posix.h"

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

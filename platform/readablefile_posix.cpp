#include "platform/filehelpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::FILE *ReadableFile::openShared(const std::string &path)
{
    // Read-only and without O_CREAT, so a missing file is never created. POSIX has no share
    // modes: other processes keep reading and writing the file while we hold it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    // A directory can be opened read-only here, but it is not a file that is present.
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    std::FILE *file = ::fdopen(fd, "r");
    if (file == nullptr)
        ::close(fd);
    return file;
}

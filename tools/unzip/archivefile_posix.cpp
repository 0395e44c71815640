#include "tools/unzip/archivefile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

std::unique_ptr<ArchiveFile> ArchiveFile::open(const std::string &path, std::string &error)
{
    // Non-blocking, so that a FIFO under the archive's name is refused rather than waited on.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) {
        error = "cannot open archive '" + path + "': "
                + (errno == ENOENT ? std::string("no such file") : std::strerror(errno));
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        error = "cannot open archive '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "cannot open archive '" + path + "': not a regular file";
        return nullptr;
    }
    return std::unique_ptr<ArchiveFile>(new ArchiveFile(std::move(fd), st.st_size, path));
}

#include "tools/unzip/archivefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

ArchiveFile::ArchiveFile(const std::filesystem::path &path, std::string &error)
{
    const std::string name = path.string();
    // Non-blocking only for the open itself: opening a FIFO for reading would otherwise wait
    // for a writer. It is refused below, like any other file that is not a regular one.
    int fd = ::open(name.c_str(), O_RDONLY | O_BINARY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot open archive '" + name + "': " + std::strerror(errno);
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot open archive '" + name + "': not a regular file";
        ::close(fd);
        return;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = "cannot open archive '" + name + "': " + std::strerror(errno);
        ::close(fd);
        return;
    }
    fd_ = fd;
}

ArchiveFile::~ArchiveFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

#include "tools/unzip/archivefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::unique_ptr<ArchiveFile> ArchiveFile::open(const std::string &path, std::string &error)
{
    // Non-blocking, so that a FIFO under the archive's name is refused rather than waited on.
    NativeHandle fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) {
        error = "cannot open archive '" + path + "': "
                + (errno == ENOENT ? std::string("no such file") : std::strerror(errno));
        return nullptr;
    }
    struct stat st {};
    if (::fstat(static_cast<int>(fd.get()), &st) != 0) {
        error = "cannot open archive '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "cannot open archive '" + path + "': not a regular file";
        return nullptr;
    }
    return std::unique_ptr<ArchiveFile>(new ArchiveFile(std::move(fd), st.st_size, path));
}

std::int64_t ArchiveFile::readAt(std::int64_t offset, void *buffer, std::size_t size, std::string &reason) const
{
    ssize_t n;
    do {
        n = ::pread(static_cast<int>(handle_.get()), buffer, size, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        reason = std::strerror(errno);
    return n;
}

void ArchiveFile::expectSequentialRead(std::int64_t length) const
{
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(static_cast<int>(handle_.get()), 0, static_cast<off_t>(length), POSIX_FADV_SEQUENTIAL);
#else
    (void)length;
#endif
}

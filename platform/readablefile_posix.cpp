#include "platform/filehelpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

ReadableFile::ReadableFile(const std::string &path)
{
    // Read-only and without O_CREAT, so a missing file is never created. POSIX has no share
    // modes: other processes keep reading and writing the file while we hold it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return;
    struct stat st {};
    // A directory can be opened read-only here, but it is not a file that is present.
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return;
    }
    file_ = ::fdopen(fd, "r");
    if (file_ == nullptr)
        ::close(fd);
}

ReadableFile::~ReadableFile()
{
    if (file_ != nullptr)
        std::fclose(file_);
}

ReadableFile::ReadableFile(ReadableFile &&other) noexcept
    : file_(std::exchange(other.file_, nullptr))
{
}

ReadableFile &ReadableFile::operator=(ReadableFile &&other) noexcept
{
    if (this != &other) {
        if (file_ != nullptr)
            std::fclose(file_);
        file_ = std::exchange(other.file_, nullptr);
    }
    return *this;
}

std::string ReadableFile::readLine()
{
    std::string line;
    if (file_ == nullptr)
        return line;
    int c;
    while ((c = std::getc(file_)) != EOF && c != '\n')
        line.push_back(static_cast<char>(c));
    return line;
}

#include "platform/filehelpers.h"

#include <share.h>

#include <filesystem>
#include <utility>

ReadableFile::ReadableFile(const std::string &path)
{
    // Read-only text mode: a missing file is never created. Deny-none sharing: another process
    // may go on reading and writing the file while we hold it, and the open succeeds while
    // another process holds the file, as long as that process lets others read. The narrow
    // path is converted the same way the file helpers' std::filesystem calls convert it.
    file_ = _wfsopen(std::filesystem::path(path).c_str(), L"rt", _SH_DENYNO);
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

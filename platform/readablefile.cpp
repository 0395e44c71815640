#include "platform/filehelpers.h"

#include <utility>

#include "platform/downloadattempt.h"

static_assert(ReadableFile::kMaxLineBytes >= kMaxVersionFileBytes,
              "a downloaded version file must fit in one line read, or versions that differ late compare equal");

ReadableFile::ReadableFile(const std::string &path)
    : file_(openShared(path))
{
}

ReadableFile::~ReadableFile()
{
    // Only read from: a failed close loses nothing.
    if (file_ != nullptr)
        (void)std::fclose(file_);
}

ReadableFile::ReadableFile(ReadableFile &&other) noexcept
    : file_(std::exchange(other.file_, nullptr))
{
}

ReadableFile &ReadableFile::operator=(ReadableFile &&other) noexcept
{
    if (this != &other) {
        if (file_ != nullptr)
            (void)std::fclose(file_);  // only read from: a failed close loses nothing
        file_ = std::exchange(other.file_, nullptr);
    }
    return *this;
}

std::string ReadableFile::readLine()
{
    std::string line;
    if (file_ == nullptr)
        return line;
    // A version line is a few bytes; whatever a file holds (an installed one has no size
    // limit), reading one line costs no more than this bound in memory and in time.
    int c;
    while (line.size() < kMaxLineBytes && (c = std::getc(file_)) != EOF && c != '\n')
        line.push_back(static_cast<char>(c));
    return line;
}

#include "platform/filehelpers.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/downloadattempt.h"
#include "platform/log.h"

namespace fs = std::filesystem;

namespace {

// Nothing at the path: no such entry, a missing directory or a file on the way, a name the
// file system cannot hold. Such a path is simply not there; every other error is a failure.
bool isAbsence(const std::error_code &ec)
{
    return ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory
           || ec == std::errc::filename_too_long;
}

// One line naming the operation, the path and the system's reason, for example
// remove failed for "version.txt": Permission denied
void logFailure(const char *operation, const std::string &path, const std::error_code &ec)
{
    logErrorLine(std::string(operation) + " failed for \"" + path + "\": " + ec.message());
}

}  // namespace

ReadableFile canOpenForReading(const std::string &path)
{
    return ReadableFile(path);
}

// The caller passes a copy of its own (the version file's name), which this takes over.
// NOLINTNEXTLINE(performance-unnecessary-value-param): by value on purpose, see above
void deleteFile(std::string path)
{
    std::error_code ec;
    const bool removed = fs::remove(fs::path(path), ec);
    if (ec && !isAbsence(ec)) {
        // A file in use, a directory with contents, no permission: the launcher carries on.
        logFailure("remove", path, ec);
        return;
    }
    if (removed)
        logLine("File deleted successfully.");
    else
        logErrorLine("Error deleting file.");
}

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

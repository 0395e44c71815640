#include "platform/filehelpers.h"

#include <filesystem>
#include <system_error>

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

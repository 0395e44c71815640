#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// A file opened for reading as a text stream that lets other processes go on reading and
// writing it. Not open when the path is missing, unreadable or a directory; never creates
// anything. Closed when the object goes away.
class ReadableFile {
public:
    explicit ReadableFile(const std::string &path);
    ~ReadableFile();
    ReadableFile(ReadableFile &&other) noexcept;
    ReadableFile &operator=(ReadableFile &&other) noexcept;
    ReadableFile(const ReadableFile &) = delete;
    ReadableFile &operator=(const ReadableFile &) = delete;

    bool isOpen() const { return file_ != nullptr; }
    explicit operator bool() const { return isOpen(); }

    // Bytes from the current position up to the first line feed, which is consumed and not
    // stored. Empty at end of file or on a read error.
    std::string readLine();

private:
    // The platform's shared-access open; null when the file is not there to read.
    static std::FILE *openShared(const std::string &path);

    std::FILE *file_ = nullptr;
};

// Opens `path` for reading; the file counts as present exactly when the result is open.
ReadableFile canOpenForReading(const std::string &path);

// Removes the single file or empty directory at `path`. Logs "File deleted successfully." on
// standard output when something was removed, "Error deleting file." on standard error when
// nothing was there. Any other failure is logged as one line naming "remove", the path and
// the system's reason, and the caller carries on.
void deleteFile(std::string path);

// Removes `path` and everything below it without following links. A missing path is no error.
// Any other failure is logged as one line naming "remove_all", the path and the reason; what
// was removed stays removed. Returns the number of entries removed.
std::uintmax_t removeTree(const std::string &path);

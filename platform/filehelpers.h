#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/result.h"

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
    // stored. Empty at end of file or on a read error. At most kMaxLineBytes are read: of a
    // longer line only its start is returned, and the rest of it is left unread.
    std::string readLine();

    // As much as the version download stores at most (64 KiB), so that a downloaded version
    // line is always read whole and two that differ anywhere never compare equal.
    static constexpr std::size_t kMaxLineBytes = 64 * 1024;

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

// Removes `path` and everything below it, depth first, never following a link inside: a link
// (a junction on Windows) at `path` itself or anywhere below it is removed itself, and what it
// points to is left alone. A link on the way to `path` is followed, as any path is resolved: a
// folder moved elsewhere with a link left in its place is wiped where it now lies. Entries that
// vanish meanwhile are passed over; a missing path is no error. Gives the number of entries
// removed. When it has to stop, the Failure's path names the first entry it could not remove
// (the path given, then "/" and the names below it) and its text and code the system's reason;
// what was removed before that stays removed. Logs nothing: the caller decides what a failure
// means.
Result<std::uintmax_t> removeTree(const std::string &path);

// Removes the one file `name` directly inside the folder `folder` (a link there is removed, not
// followed), and nothing else. Links on the way to `folder` are followed; a link at `folder`
// itself is not, since what it points to is not inside: then nothing is removed. A missing
// entry, a folder at `name`, or something other than a real folder at `folder` removes nothing
// and is no error. Reports like removeTree (1 or 0 entries) and logs nothing.
Result<std::uintmax_t> removeFileIn(const std::string &folder, const std::string &name);

// Whether `path` is a folder itself: not a link or junction to one, not a file, not missing.
// A link on the way to `path` is followed.
bool isRealFolder(const std::string &path);

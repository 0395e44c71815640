#pragma once

#include "tools/unzip/archivereader.h"
#include "tools/unzip/entryplan.h"
#include "tools/unzip/nativehandle.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Creating a plan's entries inside a directory given by a handle (directoryhandles.h). The
// tree being filled was made empty by the tool, so nothing is expected at any name: each entry
// is created new (O_CREAT | O_EXCL | O_NOFOLLOW on POSIX, FILE_CREATE on Windows), which never
// opens, replaces or follows what is already there. On POSIX, permissions come from the plan
// (set-id bits already removed) and pass through the umask; Windows files get the access their
// folder passes on, and the permissions are not used. Times are kept when the archive has
// them. Each function returns false with `error` set to one line.

// The mask that creation applies to permissions: the umask on POSIX (read while only one
// thread runs: reading it means setting it), 0 on Windows.
unsigned creationMask();

// A new directory with room for its entries: owner permissions are added until
// finishDirectory() sets the archive's.
bool createDirectory(NativeValue parent, const PlannedDirectory &directory, std::string &error);

// The archive's permissions and times for a directory, once everything inside it is written.
bool finishDirectory(NativeValue parent, const PlannedDirectory &directory, unsigned mask, std::string &error);

// A symbolic link. On Windows it is made as a symbolic link reparse point on the new file or
// folder, which needs the right to make links (an administrator, or developer mode); without
// it the entry fails with the system's reason.
bool writeLink(NativeValue parent, const PlannedEntry &entry, std::string &error);

// Whether writeLink can make links for this process, asked before anything is written: on
// Windows the account needs the right to make them (which an administrator holds switched
// off: switched on here for the process) or developer mode. False with `reason` set.
bool prepareToWriteLinks(std::string &reason);

// What becomes of a file's data when it is closed.
enum class FileFlush {
    None,     // left in the page cache (a flush of the whole file system follows)
    Now,      // written through to the disk before the file is closed (fdatasync, FlushFileBuffers)
    Started,  // its writeback started, the file kept open in a StartedFiles that waits for it
};

// Files whose writeback has been started as each was finished, kept open until waitAll()
// waits for all of them: the disk works on one file while the next is decompressed, and the
// wait covers only these files' data, not what other programs write to the same disk. As many
// are kept open as the process may open besides `reserved` other descriptors (at least 16);
// past that, those kept so far are waited for before the next is taken. Shared by the workers.
class StartedFiles {
public:
    explicit StartedFiles(std::size_t reserved);
    // Takes the open file of `entry`, whose writeback has been started. False with `error`
    // set when it or the files waited for to make room cannot be written.
    bool add(NativeHandle file, const PlannedEntry &entry, std::string &error);
    // Waits until every file taken is on the disk, several at once (the disk's cache flushes of
    // waits that overlap are shared), and closes them. False with `error` set for the first
    // that cannot be written.
    bool waitAll(std::string &error);

private:
    bool waitAllLocked(std::string &error);

    std::mutex mutex_;
    std::vector<std::pair<NativeHandle, const PlannedEntry *>> files_;
    std::size_t limit_;
};

// Writes the data of the reader's current entry, which is `entry`, into a new file, which
// `flush` then treats (FileFlush::Started hands it to `started`). `data`, when not null, is the
// entry's whole data, already checked, and the reader is not read. Gives up between blocks
// once `abandon` is set or a stop is requested ("interrupted").
bool writeFile(ArchiveReader &reader, const char *data, NativeValue parent, const PlannedEntry &entry, FileFlush flush,
               StartedFiles *started, const std::atomic<bool> &abandon, std::string &error);

// Writes the directory `directory` (its entries, permissions and times) through to the disk.
bool flushDirectory(NativeValue parent, const PlannedDirectory &directory, std::string &error);

// The new file of one entry, written at the offsets the archive gives. Errors name the entry.
class OutputFile {
public:
    OutputFile(NativeValue parent, const PlannedEntry &entry) : parent_(parent), entry_(entry) {}

    bool create(std::string &error);
    bool writeAt(const char *data, std::size_t size, std::int64_t offset, std::string &error);
    // Sets the entry's times, with FileFlush::Now writes the file through to the disk and
    // closes it, reporting a failed close (the last write may only fail there); with
    // FileFlush::Started starts its writeback and hands it, open, to `started`.
    bool finish(FileFlush flush, StartedFiles *started, std::string &error);

private:
    NativeValue parent_;
    const PlannedEntry &entry_;
    NativeHandle handle_;
};

// The system's part of StartedFiles: how many descriptors the process may have open (after
// raising its own limit as far as it may), and the wait for one file's data, which then closes
// it; false with `reason` set.
std::size_t openFilesAtMost();
bool waitForStartedFile(NativeHandle &file, std::string &reason);

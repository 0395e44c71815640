#pragma once

// The extraction: the workers that write a plan's entries (extractPlan), the staging directory
// they write into, and the pieces they use: entry writing, directory handles, whole entries.

#include "unzip/archive.h"
#include "unzip/plan.h"
#include "unzip/system.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct ExtractOptions {
    // Most workers to use; each reads the archive on its own and writes the entries it takes.
    unsigned workers = 1;
    // Workers take consecutive entries in runs, handed out in archive order as they ask:
    // entries next to each other usually share a directory, so workers seldom create entries
    // in the same directory at once, and each reader passes over few entries of others. The
    // entries are cut into this many runs of about equal cost per worker; several let a worker
    // that is done early take over work from one that is held up. 1: a fixed split by size;
    // very large: one entry at a time.
    unsigned runsPerWorker = 8;
    // Pause after each entry. Zero in normal use; tests set it (through the environment of the
    // tool's test build, see main.cpp) to make the extraction slow enough to be watched.
    unsigned entryDelayMs = 0;
    // How the tree reaches the disk before it is moved into place (StagingDirectory, below).
    enum class Flush {
        // Each file's writeback started as it is closed, all of them waited for once every
        // entry is written, then each directory flushed: waits for the tree's data alone.
        StartedFiles,
        // Each file flushed before it is closed, each directory once it is finished.
        EachEntry,
        // Nothing here: one flush of the whole file system follows (syncfs), which also waits
        // for whatever other programs have written to it.
        FileSystem,
    };
    Flush flush = Flush::StartedFiles;
    // Decompress small deflated entries whole in memory (WholeEntryReader, below) rather than through
    // libarchive's stream; off only to compare the two.
    bool wholeEntries = true;
};

// How many workers are worth starting for `plan`, given at most `allowed`. Each extra worker
// costs a thread and its own reading of the archive's directory, and workers gain nothing on
// files in the same directory unless there are bytes to unpack, so a small archive, one with
// a single file, or one of small files in a single folder is extracted by the calling thread
// alone.
unsigned workersFor(const ExtractionPlan &plan, unsigned allowed);

// Writes what `plan` lists, with the data read from `file`, below the open, empty directory
// `tree`: the directories first, then the files and links, shared among the workers, then the
// directories' own permissions and times (each directory then flushed, unless the whole file
// system is to be).
// Stops at the first problem in any worker (damaged data, a failed write, a stop request): the
// other workers give up at their next block, and what was written up to then is left for the
// caller to remove. The number of files and links written; failures are one line, without
// the program name.
Result<std::size_t> extractPlan(const ArchiveFile &file, const ExtractionPlan &plan, NativeValue tree,
                                const ExtractOptions &options);

// Where an extraction is built before it becomes visible. The staging directory lies inside
// the destination directory (same file system, so the final moves are renames), belongs to
// its owner alone (on POSIX) and has a name beginning with ".unzip-". The installed tree, and
// with it its version file, therefore appears only in one step at the end: an extraction that
// fails or is killed never leaves a partial tree under the names the launcher looks at.
class StagingDirectory {
public:
    // Creates a fresh staging directory in the open destination directory `destination`
    // (system.h), called `destinationName` in messages.
    static Result<std::unique_ptr<StagingDirectory>> create(NativeValue destination,
                                                            const std::string &destinationName);

    // Removes the staging directory with whatever is left in it.
    ~StagingDirectory();
    StagingDirectory(const StagingDirectory &) = delete;
    StagingDirectory &operator=(const StagingDirectory &) = delete;

    // A handle on the (empty) directory to extract into.
    NativeValue tree() const { return tree_.get(); }

    // Writes the extracted tree through to the disk before moveIntoPlace() makes it visible:
    // after a power cut, a name in the destination then never stands for a file that is empty
    // or short. With `wholeFileSystem`, one flush of the file system the tree is on (every file
    // and folder in it at once); without, only the top of the tree, the extraction having
    // flushed the entries itself (ExtractOptions::flush; always so on Windows, where only an
    // administrator may flush a whole volume: canFlushFileSystem()).
    Result<> flush(bool wholeFileSystem);

    // Moves every top-level entry of tree() to the destination, replacing what is there under
    // the same name (the replaced entry, a link included, is moved aside without being
    // followed and removed with the staging directory). Entries holding a "version.txt" go
    // last, so the marker of a complete installation is the last thing to appear. Then the
    // destination is flushed, so that the moves themselves are on the disk. On failure,
    // entries already moved stay in place.
    Result<> moveIntoPlace();

private:
    StagingDirectory(NativeValue destination, std::string destinationName, std::string rootName)
        : destination_(destination), destinationName_(std::move(destinationName)), rootName_(std::move(rootName))
    {
    }

    NativeValue destination_;  // not owned
    std::string destinationName_;
    std::string rootName_;  // ".unzip-<unique>" in the destination
    NativeHandle root_;
    NativeHandle tree_;      // root/tree: the extraction
    NativeHandle replaced_;  // root/replaced: what the new tree displaced
};

// Removes staging directories left in the open destination directory `destination` by an
// extraction that was killed. Only call it while holding the extraction mutex, so that no
// running extraction is touched. Returns how many were removed.
std::size_t removeStaleStaging(NativeValue destination);

// Creating a plan's entries inside a directory given by a handle (DirectoryHandles, below). The
// tree being filled was made empty by the tool, so nothing is expected at any name: each entry
// is created new (O_CREAT | O_EXCL | O_NOFOLLOW on POSIX, FILE_CREATE on Windows), which never
// opens, replaces or follows what is already there. On POSIX, permissions come from the plan
// (set-id bits already removed) and pass through the umask; Windows files get the access their
// folder passes on, and the permissions are not used. Times are kept when the archive has
// them. Each function fails with one line naming the entry.

// The mask that creation applies to permissions: the umask on POSIX (read while only one
// thread runs: reading it means setting it), 0 on Windows.
unsigned creationMask();

// A new directory with room for its entries: owner permissions are added until
// finishDirectory() sets the archive's.
Result<> createDirectory(NativeValue parent, const PlannedDirectory &directory);

// The archive's permissions and times for a directory, once everything inside it is written.
Result<> finishDirectory(NativeValue parent, const PlannedDirectory &directory, unsigned mask);

// A symbolic link. On Windows it is made as a symbolic link reparse point on the new file or
// folder, which needs the right to make links (an administrator, or developer mode); without
// it the entry fails with the system's reason.
Result<> writeLink(NativeValue parent, const PlannedEntry &entry);

// Whether writeLink can make links for this process, asked before anything is written: on
// Windows the account needs the right to make them (which an administrator holds switched
// off: switched on here for the process) or developer mode. Fails with the reason.
Result<> prepareToWriteLinks();

// What becomes of a file's data when it is closed.
enum class FileFlush {
    None,     // left in the page cache (a flush of the whole file system follows)
    Now,      // written through to the disk before the file is closed (fdatasync, FlushFileBuffers)
    Started,  // its writeback started, the file kept open in a StartedFiles that waits for it
};

// Files whose writeback has been started as each was finished, waited for while the workers
// write the next ones: a few threads take each file as it comes, wait until its data is on the
// disk (the disk's cache flushes of waits that overlap are shared) and close it, so that little
// is left to wait for once the last entry is written. The wait covers only these files' data,
// not what other programs write to the same disk. As many are kept open as the process may
// open besides `reserved` other descriptors (at least 16); past that, add() waits for room.
// Shared by the workers.
class StartedFiles {
public:
    explicit StartedFiles(std::size_t reserved);
    ~StartedFiles();
    StartedFiles(const StartedFiles &) = delete;
    StartedFiles &operator=(const StartedFiles &) = delete;

    // Starts the threads that wait, enough for `files` files.
    void start(std::size_t files);
    // Takes the open file of `entry`, whose writeback has been started. Fails once a file taken
    // before could not be written.
    Result<> add(NativeHandle file, const PlannedEntry &entry);
    // Waits until every file taken is on the disk and closed. Fails for the first that could
    // not be written.
    Result<> waitAll();

private:
    using Taken = std::pair<NativeHandle, const PlannedEntry *>;

    void waitForFiles();
    void wait(Taken &taken);
    void stopWaiters();

    std::mutex mutex_;
    std::condition_variable work_;  // a file to wait for, or closing
    std::condition_variable room_;  // a file closed, or the first failure
    std::deque<Taken> queue_;
    std::size_t open_ = 0;  // taken and not yet closed
    std::size_t limit_;
    bool closing_ = false;
    std::optional<Failure> failure_;
    std::vector<std::thread> waiters_;
};

// Writes the data of the reader's current entry, which is `entry`, into a new file, which
// `flush` then treats (FileFlush::Started hands it to `started`). `data`, when not null, is the
// entry's whole data, already checked, and the reader is not read. Gives up between blocks
// once `abandon` is set or a stop is requested ("interrupted").
Result<> writeFile(ArchiveReader &reader, const char *data, NativeValue parent, const PlannedEntry &entry,
                   FileFlush flush, StartedFiles *started, const std::atomic<bool> &abandon);

// Writes the directory `directory` (its entries, permissions and times) through to the disk.
Result<> flushDirectory(NativeValue parent, const PlannedDirectory &directory);

// The new file of one entry, written at the offsets the archive gives. Errors name the entry.
class OutputFile {
public:
    OutputFile(NativeValue parent, const PlannedEntry &entry) : parent_(parent), entry_(entry) {}

    Result<> create();
    Result<> writeAt(const char *data, std::size_t size, std::int64_t offset);
    // Sets the entry's times, with FileFlush::Now writes the file through to the disk and
    // closes it, reporting a failed close (the last write may only fail there); with
    // FileFlush::Started starts its writeback and hands it, open, to `started`.
    Result<> finish(FileFlush flush, StartedFiles *started);

private:
    NativeValue parent_;
    const PlannedEntry &entry_;
    NativeHandle handle_;
};

// The system's part of StartedFiles: how many descriptors the process may have open (after
// raising its own limit as far as it may), and the wait for one file's data, which then closes
// it; fails with the system's reason.
std::size_t openFilesAtMost();
Result<> waitForStartedFile(NativeHandle &file);

// Handles on the directories of the tree being extracted, so that entries are created relative
// to a directory the tool made itself rather than by path. Each directory is opened from its
// parent's handle without following a link (openDirectoryAt), so a link is never followed on
// the way, whatever appears in the tree meanwhile. Entries come grouped by directory in an
// archive, so a few recent handles are kept; one object per thread.
class DirectoryHandles {
public:
    DirectoryHandles(NativeValue top, const std::vector<PlannedDirectory> &directories);

    // A handle on plan directory `index` (kTopDirectory: the top of the tree), valid until
    // the next call.
    Result<NativeValue> get(std::size_t index);

    // The most handles kept open at once.
    static constexpr std::size_t kKept = 16;

private:
    NativeValue top_;
    const std::vector<PlannedDirectory> &directories_;
    std::vector<std::pair<std::size_t, NativeHandle>> kept_;  // most recent last
};

struct libdeflate_decompressor;

// Deflated entries of up to kLargestWholeEntry bytes are read and decompressed whole, with
// libdeflate, instead of through libarchive's stream: libdeflate decompresses several times
// faster than zlib's inflate and computes the CRC-32 with the processor's carry-less multiply,
// and a whole entry in memory needs neither inflate's window nor its copies. Larger, stored or
// unusual entries, and any entry for which something does not match, go the streaming way,
// which also reports any damage in its own words: this way only ever takes what it can check.

inline constexpr std::uint64_t kLargestWholeEntry = 8u << 20;
// Below this size the stream wins: libarchive's reader takes a small entry out of the block it
// has already read, where the whole-entry way makes two reads of its own.
inline constexpr std::uint64_t kSmallestWholeEntry = 4096;

// For each of the plan's entries, the central directory header to decompress it whole from,
// or null. Only names stored once, deflated, unencrypted, of the size the plan states.
std::vector<const StoredEntry *> wholeEntriesFor(const ExtractionPlan &plan, const std::vector<StoredEntry> &stored);

// One per worker: its decompressor and buffers, reused from entry to entry.
class WholeEntryReader {
public:
    WholeEntryReader();
    ~WholeEntryReader();
    WholeEntryReader(const WholeEntryReader &) = delete;
    WholeEntryReader &operator=(const WholeEntryReader &) = delete;

    // The entry's data, decompressed and checked against its size and CRC-32, or null when
    // it cannot be taken this way (read failure, a local header that disagrees, bad data):
    // the caller then reads the entry through libarchive. `streamData` is where libarchive's
    // reader, standing at this entry, finds its data: the bytes read here must be those.
    const char *read(const ArchiveFile &file, const StoredEntry &entry, std::int64_t streamData);

private:
    struct Deleter {
        void operator()(libdeflate_decompressor *d) const;
    };
    // Grown as needed, never cleared: only what a read fills is touched.
    struct Buffer {
        std::unique_ptr<char[]> bytes;
        std::size_t capacity = 0;
        char *reserve(std::size_t size);
    };
    std::unique_ptr<libdeflate_decompressor, Deleter> decompressor_;
    Buffer packed_;
    Buffer data_;
};

#include "tools/unzip/extractor.h"

#include "tools/unzip/archivereader.h"
#include "tools/unzip/centraldirectory.h"
#include "tools/unzip/directoryhandles.h"
#include "tools/unzip/entrywriter.h"
#include "tools/unzip/stoprequest.h"
#include "tools/unzip/toolprocess.h"
#include "tools/unzip/wholeentry.h"

#include <archive_entry.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Below these amounts per worker, another worker costs more than it saves.
constexpr std::size_t kFilesPerWorker = 32;
constexpr std::uint64_t kBytesPerWorker = 1024 * 1024;

// Descriptors the process has open besides the folders and the files kept for the wait: the
// archive for each worker, the staging folders, the named mutex, the standard streams.
constexpr std::size_t kOtherDescriptors = 64;

// What writing a file costs besides its bytes (creating, closing, setting its time), in bytes.
constexpr std::uint64_t kEntryCost = 32 * 1024;

// Splits `entries` into at most `runs` runs of about equal cost; the start of each run, and
// entries.size() at the end.
std::vector<std::size_t> runsOf(const std::vector<PlannedEntry> &entries, std::size_t runs)
{
    runs = std::clamp<std::size_t>(runs, 1, std::max<std::size_t>(entries.size(), 1));
    std::uint64_t total = 0;
    for (const PlannedEntry &e : entries)
        total += e.size + kEntryCost;
    std::vector<std::size_t> starts{0};
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        sum += entries[i].size + kEntryCost;
        // Run r ends once the entries so far cost r / runs of the total.
        if (i + 1 < entries.size() && double(sum) * double(runs) >= double(total) * double(starts.size()))
            starts.push_back(i + 1);
    }
    starts.push_back(entries.size());
    return starts;
}

class Extraction {
public:
    Extraction(const ArchiveFile &file, const ExtractionPlan &plan, NativeValue tree, const ExtractOptions &options)
        : file_(file), plan_(plan), tree_(tree), options_(options),
          started_((std::size_t{options.workers} + 1) * DirectoryHandles::kKept + kOtherDescriptors)
    {
    }

    ExtractResult run()
    {
        // Read once while this is the only thread: on POSIX, reading the umask sets it.
        const unsigned mask = creationMask();

        DirectoryHandles directories(tree_, plan_.directories);
        std::string error;
        for (const PlannedDirectory &d : plan_.directories) {
            const NativeValue parent = directories.get(d.parent, error);
            if (parent == kNoHandle || !createDirectory(parent, d, error))
                return failure(error);
        }

        if (options_.wholeEntries && readCentralDirectory(file_, stored_))
            whole_ = wholeEntriesFor(plan_, stored_);

        const unsigned workers = workersFor(plan_, options_.workers);
        runStarts_ = runsOf(plan_.entries, std::size_t{workers} * std::max(options_.runsPerWorker, 1u));
        std::vector<std::thread> threads;
        for (unsigned i = 1; i < workers; ++i) {
            try {
                threads.emplace_back([this] {
                    // Named, so that they can be told apart in a process list and in tests.
                    nameCurrentThread("unzip worker");
                    work();
                });
            } catch (const std::system_error &) {
                break;  // fewer threads: the others take their share
            }
        }
        work();
        for (std::thread &t : threads)
            t.join();
        if (failed_.load())
            return failure(error_);
        if (options_.flush == ExtractOptions::Flush::StartedFiles && !started_.waitAll(error))
            return failure(error);

        // Innermost first: a directory the archive makes read-only is closed after its
        // contents are done.
        for (auto d = plan_.directories.rbegin(); d != plan_.directories.rend(); ++d) {
            const NativeValue parent = directories.get(d->parent, error);
            if (parent == kNoHandle || !finishDirectory(parent, *d, mask, error)
                || (options_.flush != ExtractOptions::Flush::FileSystem && !flushDirectory(parent, *d, error)))
                return failure(error);
        }
        return ExtractResult{true, written_.load(), {}};
    }

private:
    ExtractResult failure(std::string error) const { return ExtractResult{false, written_.load(), std::move(error)}; }

    // The first failure is the one reported; the other workers stop at their next check.
    void fail(const std::string &error)
    {
        const std::lock_guard<std::mutex> lock(errorMutex_);
        if (!failed_.load()) {
            error_ = error;
            failed_.store(true);
        }
    }

    bool shouldStop()
    {
        if (stopRequested())
            fail("interrupted");
        return failed_.load(std::memory_order_relaxed);
    }

    // One worker: takes the next run of entries nobody has taken and writes them, reading on
    // to each with its own reader. Runs are taken in archive order, so a reader only ever
    // moves forward, passing over the entries of other workers' runs without reading their data.
    void work()
    {
        std::string error;
        ArchiveReader reader(file_);
        if (!reader.open(error)) {
            fail(error);
            return;
        }
        DirectoryHandles directories(tree_, plan_.directories);
        WholeEntryReader whole;
        std::size_t position = 0;  // archive index of the entry the reader reaches next
        while (!shouldStop()) {
            const std::size_t run = nextRun_.fetch_add(1);
            if (run + 1 >= runStarts_.size())
                return;
            for (std::size_t i = runStarts_[run]; i < runStarts_[run + 1]; ++i) {
                if (!extractEntry(reader, whole, directories, position, i))
                    return;
                if (options_.entryDelayMs)
                    sleepUnlessStopped(options_.entryDelayMs);
                if (shouldStop())
                    return;
            }
        }
    }

    bool extractEntry(ArchiveReader &reader, WholeEntryReader &whole, DirectoryHandles &directories,
                      std::size_t &position, std::size_t index)
    {
        const PlannedEntry &entry = plan_.entries[index];
        std::string error;
        archive_entry *header = nullptr;
        while (position <= entry.archiveIndex) {
            const ArchiveReader::Next n = reader.next(header, error);
            if (n != ArchiveReader::Next::Entry) {
                fail(n == ArchiveReader::Next::End ? reader.damagedText("it ends before '" + entry.name + "'") : error);
                return false;
            }
            ++position;
        }
        // The same file read again must give the same entries; anything else is damage.
        if (std::string name; !entryName(header, name) || name != entry.name) {
            fail(reader.damagedText("'" + entry.name + "' is not where it was"));
            return false;
        }
        const NativeValue parent = directories.get(entry.parent, error);
        const bool written = parent != kNoHandle
                             && (entry.kind == PlannedEntry::File
                                     ? writeFile(reader, wholeData(whole, reader, index), parent, entry, fileFlush(), &started_, failed_, error)
                                     : writeLink(parent, entry, error));
        if (!written) {
            fail(error);
            return false;
        }
        written_.fetch_add(1);
        return true;
    }

    FileFlush fileFlush() const
    {
        switch (options_.flush) {
        case ExtractOptions::Flush::StartedFiles:
            return FileFlush::Started;
        case ExtractOptions::Flush::EachEntry:
            return FileFlush::Now;
        case ExtractOptions::Flush::FileSystem:
            break;
        }
        return FileFlush::None;
    }

    // The entry's data when it can be decompressed whole, otherwise null. `reader` stands at
    // the entry's data.
    const char *wholeData(WholeEntryReader &whole, const ArchiveReader &reader, std::size_t index) const
    {
        const StoredEntry *stored = index < whole_.size() ? whole_[index] : nullptr;
        return stored ? whole.read(file_, *stored, reader.position()) : nullptr;
    }

    const ArchiveFile &file_;
    const ExtractionPlan &plan_;
    const NativeValue tree_;
    const ExtractOptions options_;
    StartedFiles started_;

    std::vector<StoredEntry> stored_;         // the central directory, when read
    std::vector<const StoredEntry *> whole_;  // per planned entry: decompressed whole from this
    std::vector<std::size_t> runStarts_;      // run r is entries [runStarts_[r], runStarts_[r + 1])
    std::atomic<std::size_t> nextRun_{0};
    std::atomic<std::size_t> written_{0};
    std::atomic<bool> failed_{false};
    std::mutex errorMutex_;
    std::string error_;
};

}  // namespace

unsigned workersFor(const ExtractionPlan &plan, unsigned allowed)
{
    const std::size_t files = plan.entries.size();
    // Creating entries in one directory does not go faster with more workers: the file system
    // takes them one at a time, and the waiting workers burn processor time. So the files of
    // the fullest directory count as one share of work, the others one share per
    // kFilesPerWorker; the bytes to unpack count one share per kBytesPerWorker.
    std::vector<std::size_t> perDirectory(plan.directories.size() + 1, 0);
    for (const PlannedEntry &e : plan.entries)
        ++perDirectory[e.parent == kTopDirectory ? plan.directories.size() : e.parent];
    const std::size_t fullest = files ? *std::max_element(perDirectory.begin(), perDirectory.end()) : 0;
    const std::size_t byCount = 1 + (files - fullest) / kFilesPerWorker;
    const std::size_t bySize = static_cast<std::size_t>(plan.bytes / kBytesPerWorker);
    const std::size_t worth = std::min(std::max(byCount, bySize), std::max<std::size_t>(files, 1));
    return static_cast<unsigned>(std::clamp<std::size_t>(worth, 1, std::max(allowed, 1u)));
}

ExtractResult extractPlan(const ArchiveFile &file, const ExtractionPlan &plan, NativeValue tree,
                          const ExtractOptions &options)
{
    return Extraction(file, plan, tree, options).run();
}

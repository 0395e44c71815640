#include "tools/unzip/extractor.h"

#include "tools/unzip/archivereader.h"
#include "tools/unzip/directoryhandles.h"
#include "tools/unzip/entrywriter.h"
#include "tools/unzip/stoprequest.h"

#include <archive_entry.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Below these amounts per worker, another worker costs more than it saves.
constexpr std::size_t kFilesPerWorker = 32;
constexpr std::uint64_t kBytesPerWorker = 1024 * 1024;

class Extraction {
public:
    Extraction(const ArchiveFile &file, const ExtractionPlan &plan, int tree, const ExtractOptions &options)
        : file_(file), plan_(plan), tree_(tree), options_(options)
    {
    }

    ExtractResult run()
    {
        // Read once while this is the only thread: there is no call that only reads it.
        const mode_t umask = ::umask(0);
        ::umask(umask);

        DirectoryHandles directories(tree_, plan_.directories);
        std::string error;
        for (const PlannedDirectory &d : plan_.directories) {
            const int parent = directories.get(d.parent, error);
            if (parent < 0 || !createDirectory(parent, d, error))
                return failure(error);
        }

        const unsigned workers = workersFor(plan_, options_.workers);
        std::vector<std::thread> threads;
        for (unsigned i = 1; i < workers; ++i) {
            try {
                threads.emplace_back([this] { work(); });
            } catch (const std::system_error &) {
                break; // fewer threads: the others take their share
            }
        }
        work();
        for (std::thread &t : threads)
            t.join();
        if (failed_.load())
            return failure(error_);

        // Innermost first: a directory the archive makes read-only is closed after its
        // contents are done.
        for (auto d = plan_.directories.rbegin(); d != plan_.directories.rend(); ++d) {
            const int parent = directories.get(d->parent, error);
            if (parent < 0 || !finishDirectory(parent, *d, umask, error))
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

    // One worker: takes the next entry nobody has taken, reads on to it with its own reader
    // (entries are taken in archive order, so a reader only ever moves forward), writes it.
    void work()
    {
        std::string error;
        ArchiveReader reader(file_);
        if (!reader.open(error)) {
            fail(error);
            return;
        }
        DirectoryHandles directories(tree_, plan_.directories);
        std::size_t position = 0; // archive index of the entry the reader reaches next
        while (!shouldStop()) {
            const std::size_t taken = next_.fetch_add(1);
            if (taken >= plan_.entries.size())
                return;
            const PlannedEntry &entry = plan_.entries[taken];
            archive_entry *header = nullptr;
            while (position <= entry.archiveIndex) {
                const ArchiveReader::Next n = reader.next(header, error);
                if (n != ArchiveReader::Next::Entry) {
                    fail(n == ArchiveReader::Next::End ? reader.damagedText("it ends before '" + entry.name + "'") : error);
                    return;
                }
                ++position;
            }
            // The same file read again must give the same entries; anything else is damage.
            const char *name = archive_entry_pathname(header);
            if (!name || entry.name != name) {
                fail(reader.damagedText("'" + entry.name + "' is not where it was"));
                return;
            }
            const int parent = directories.get(entry.parent, error);
            const bool written = parent >= 0
                && (entry.kind == PlannedEntry::File ? writeFile(reader, parent, entry, failed_, error)
                                                     : writeLink(parent, entry, error));
            if (!written) {
                fail(error);
                return;
            }
            written_.fetch_add(1);
            if (options_.entryDelayMs)
                sleepUnlessStopped(options_.entryDelayMs);
        }
    }

    const ArchiveFile &file_;
    const ExtractionPlan &plan_;
    const int tree_;
    const ExtractOptions options_;

    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> written_{0};
    std::atomic<bool> failed_{false};
    std::mutex errorMutex_;
    std::string error_;
};

} // namespace

unsigned workersFor(const ExtractionPlan &plan, unsigned allowed)
{
    const std::size_t files = plan.entries.size();
    const std::size_t byCount = files / kFilesPerWorker;
    const std::size_t bySize = static_cast<std::size_t>(plan.bytes / kBytesPerWorker);
    const std::size_t worth = std::min(std::max<std::size_t>({byCount, bySize, 1}), files);
    return static_cast<unsigned>(std::clamp<std::size_t>(worth, 1, std::max(allowed, 1u)));
}

ExtractResult extractPlan(const ArchiveFile &file, const ExtractionPlan &plan, int tree,
                          const ExtractOptions &options)
{
    return Extraction(file, plan, tree, options).run();
}

#include "unzip/extract.h"

#include "unzip/archive.h"
#include "unzip/system.h"

#include <archive_entry.h>
#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
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

    Result<std::size_t> run()
    {
        // Read once while this is the only thread: on POSIX, reading the umask sets it.
        const unsigned mask = creationMask();

        DirectoryHandles directories(tree_, plan_.directories);
        for (const PlannedDirectory &d : plan_.directories) {
            const Result<NativeValue> parent = directories.get(d.parent);
            if (!parent)
                return parent.failure();
            if (const Result<> made = createDirectory(parent.value(), d); !made)
                return made.failure();
        }

        // Started here, not by a worker, whose name a new thread would inherit.
        if (options_.flush == ExtractOptions::Flush::StartedFiles)
            started_.start(plan_.entries.size());
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
            return error_;
        if (options_.flush == ExtractOptions::Flush::StartedFiles) {
            if (const Result<> waited = started_.waitAll(); !waited)
                return waited.failure();
        }

        // Innermost first: a directory the archive makes read-only is closed after its
        // contents are done.
        for (auto d = plan_.directories.rbegin(); d != plan_.directories.rend(); ++d) {
            const Result<NativeValue> parent = directories.get(d->parent);
            Result<> done = parent ? finishDirectory(parent.value(), *d, mask) : Result<>(parent.failure());
            if (done && options_.flush != ExtractOptions::Flush::FileSystem)
                done = flushDirectory(parent.value(), *d);
            if (!done)
                return done.failure();
        }
        return written_.load();
    }

private:
    // The first failure is the one reported; the other workers stop at their next check.
    void fail(const Failure &error)
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
            fail(Failure{"interrupted"});
        return failed_.load(std::memory_order_relaxed);
    }

    // One worker: takes the next run of entries nobody has taken and writes them, reading on
    // to each with its own reader. Runs are taken in archive order, so a reader only ever
    // moves forward, passing over the entries of other workers' runs without reading their data.
    void work()
    {
        ArchiveReader reader(file_);
        if (const Result<> opened = reader.open(); !opened) {
            fail(opened.failure());
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
        archive_entry *header = nullptr;
        while (position <= entry.archiveIndex) {
            const Result<ArchiveReader::Next> next = reader.next(header);
            if (!next) {
                fail(next.failure());
                return false;
            }
            if (next.value() == ArchiveReader::Next::End) {
                fail(Failure{reader.damagedText("it ends before '" + entry.name + "'")});
                return false;
            }
            ++position;
        }
        // The same file read again must give the same entries; anything else is damage.
        if (std::string name; !entryName(header, name) || name != entry.name) {
            fail(Failure{reader.damagedText("'" + entry.name + "' is not where it was")});
            return false;
        }
        const Result<NativeValue> parent = directories.get(entry.parent);
        const Result<> written = !parent ? Result<>(parent.failure())
                                 : entry.kind == PlannedEntry::File
                                     ? writeFile(reader, wholeData(whole, reader, index), parent.value(), entry,
                                                 fileFlush(), &started_, failed_)
                                     : writeLink(parent.value(), entry);
        if (!written) {
            fail(written.failure());
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
    Failure error_;
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

Result<std::size_t> extractPlan(const ArchiveFile &file, const ExtractionPlan &plan, NativeValue tree,
                                const ExtractOptions &options)
{
    return Extraction(file, plan, tree, options).run();
}

namespace {

constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::uint32_t kLocalHeaderMagic = 0x04034b50;
constexpr unsigned kDeflated = 8;
constexpr unsigned kEncrypted = 1u << 0;
constexpr unsigned kStrongEncryption = 1u << 6;

// Whether the local header `h`, followed by its name, stands for `entry` as libarchive reads
// it. libarchive takes the name, method and encryption from the local header, and the CRC-32
// and sizes from it too unless they are zero (it refuses ones that differ from the central
// directory's): a header that disagrees on any of them is left to libarchive.
bool describesEntry(const unsigned char *h, const StoredEntry &entry)
{
    const std::uint32_t crc = littleEndian32(h + 14), packedSize = littleEndian32(h + 18), size = littleEndian32(h + 22);
    return littleEndian32(h) == kLocalHeaderMagic && (littleEndian16(h + 6) & (kEncrypted | kStrongEncryption)) == 0
           && littleEndian16(h + 8) == entry.method && (crc == 0 || crc == entry.crc32)
           && (packedSize == 0 || packedSize == entry.packedSize) && (size == 0 || size == entry.size)
           && littleEndian16(h + 26) == entry.name.size()
           && std::memcmp(h + kLocalHeaderSize, entry.name.data(), entry.name.size()) == 0;
}

}  // namespace

std::vector<const StoredEntry *> wholeEntriesFor(const ExtractionPlan &plan, const std::vector<StoredEntry> &stored)
{
    // A name stored twice is left to libarchive, which decides which of the two is written.
    std::unordered_map<std::string_view, const StoredEntry *> byName;
    for (const StoredEntry &s : stored) {
        const auto [it, added] = byName.emplace(s.name, &s);
        if (!added)
            it->second = nullptr;
    }
    std::vector<const StoredEntry *> whole(plan.entries.size(), nullptr);
    for (std::size_t i = 0; i < plan.entries.size(); ++i) {
        const PlannedEntry &e = plan.entries[i];
        const auto it = byName.find(e.name);
        if (e.kind != PlannedEntry::File || it == byName.end() || !it->second)
            continue;
        const StoredEntry &s = *it->second;
        if (s.method == kDeflated && !(s.flags & (kEncrypted | kStrongEncryption)) && s.size == e.size && s.size >= kSmallestWholeEntry
            && s.size <= kLargestWholeEntry && s.packedSize <= kLargestWholeEntry)
            whole[i] = &s;
    }
    return whole;
}

void WholeEntryReader::Deleter::operator()(libdeflate_decompressor *d) const { libdeflate_free_decompressor(d); }

WholeEntryReader::WholeEntryReader() : decompressor_(libdeflate_alloc_decompressor()) {}

WholeEntryReader::~WholeEntryReader() = default;

char *WholeEntryReader::Buffer::reserve(std::size_t size)
{
    if (size > capacity) {
        bytes.reset(new char[size]);
        capacity = size;
    }
    return bytes.get();
}

const char *WholeEntryReader::read(const ArchiveFile &file, const StoredEntry &entry, std::int64_t streamData)
{
    // The local header with the name it should carry, read into the buffer the data goes to next.
    const std::size_t headerSize = kLocalHeaderSize + entry.name.size();
    auto *header = reinterpret_cast<unsigned char *>(packed_.reserve(headerSize));
    if (!decompressor_ || !readExactly(file, entry.headerOffset, header, headerSize)
        || !describesEntry(header, entry))
        return nullptr;
    const std::uint64_t dataOffset = entry.headerOffset + headerSize + littleEndian16(header + 28);
    if (dataOffset != static_cast<std::uint64_t>(streamData) || dataOffset + entry.packedSize > static_cast<std::uint64_t>(file.size()))
        return nullptr;
    const auto packedSize = static_cast<std::size_t>(entry.packedSize);
    const auto size = static_cast<std::size_t>(entry.size);
    char *packed = packed_.reserve(packedSize);
    char *data = data_.reserve(size);
    if (!readExactly(file, dataOffset, packed, packedSize))
        return nullptr;
    // The stream must fill the stated size exactly and end exactly at the stated packed size.
    std::size_t used = 0, made = 0;
    if (libdeflate_deflate_decompress_ex(decompressor_.get(), packed, packedSize, data, size, &used, &made)
            != LIBDEFLATE_SUCCESS
        || made != size || used != packedSize)
        return nullptr;
    if (libdeflate_crc32(0, data, size) != entry.crc32)
        return nullptr;
    return data;
}

DirectoryHandles::DirectoryHandles(NativeValue top, const std::vector<PlannedDirectory> &directories)
    : top_(top), directories_(directories)
{
}

Result<NativeValue> DirectoryHandles::get(std::size_t index)
{
    if (index == kTopDirectory)
        return top_;
    for (const auto &[kept, handle] : kept_) {
        if (kept == index)
            return handle.get();
    }

    // Walk down from the nearest directory at hand: the top, or a kept ancestor.
    std::vector<std::size_t> chain;
    NativeValue from = top_;
    for (std::size_t d = index; d != kTopDirectory; d = directories_[d].parent) {
        bool found = false;
        for (const auto &[kept, handle] : kept_) {
            if (kept == d) {
                from = handle.get();
                found = true;
                break;
            }
        }
        if (found)
            break;
        chain.push_back(d);
    }
    NativeHandle current;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        Result<NativeHandle> next = openDirectoryAt(current.valid() ? current.get() : from, directories_[*it].leaf);
        if (!next)
            return next.failure().about("cannot open '" + directories_[*it].path + "'");
        current = std::move(next).value();
    }
    if (kept_.size() == kKept)
        kept_.erase(kept_.begin());
    kept_.emplace_back(index, std::move(current));
    return kept_.back().second.get();
}

namespace {

// Threads that wait for started files at once. They sleep in the system while the disk works;
// more waits in flight let the block layer answer many with one flush of the disk's cache.
constexpr std::size_t kWaiters = 16;

}  // namespace

StartedFiles::StartedFiles(std::size_t reserved)
    : limit_(std::max<std::size_t>(openFilesAtMost() - std::min(openFilesAtMost(), reserved), 16))
{
}

StartedFiles::~StartedFiles()
{
    stopWaiters();
}

void StartedFiles::start(std::size_t files)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    while (waiters_.size() < std::min(kWaiters, files)) {
        try {
            waiters_.emplace_back([this] { waitForFiles(); });
        } catch (const std::system_error &) {
            break;  // fewer waiters; with none, add() waits for each file itself
        }
    }
}

Result<> StartedFiles::add(NativeHandle file, const PlannedEntry &entry)
{
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return open_ < limit_ || failure_ || waiters_.empty(); });
    if (failure_)
        return *failure_;
    Taken taken(std::move(file), &entry);
    ++open_;
    if (waiters_.empty()) {
        lock.unlock();
        wait(taken);
        lock.lock();
        return failure_ ? Result<>(*failure_) : Result<>();
    }
    queue_.push_back(std::move(taken));
    work_.notify_one();
    return {};
}

void StartedFiles::waitForFiles()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return !queue_.empty() || closing_; });
        if (queue_.empty())
            return;
        Taken taken = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        wait(taken);
        lock.lock();
    }
}

void StartedFiles::wait(Taken &taken)
{
    bool skip = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        skip = failure_.has_value();  // the extraction fails anyway: the file is only closed
    }
    const Result<> waited = skip ? Result<>() : waitForStartedFile(taken.first);
    taken.first = NativeHandle();
    const std::lock_guard<std::mutex> lock(mutex_);
    --open_;
    if (!waited && !failure_)
        failure_ = waited.failure().about("cannot write '" + taken.second->name + "'");
    room_.notify_all();
}

void StartedFiles::stopWaiters()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        work_.notify_all();
    }
    for (std::thread &t : waiters_)
        t.join();
    waiters_.clear();
}

Result<> StartedFiles::waitAll()
{
    stopWaiters();
    const std::lock_guard<std::mutex> lock(mutex_);
    return failure_ ? Result<>(*failure_) : Result<>();
}

Result<> writeFile(ArchiveReader &reader, const char *data, NativeValue parent, const PlannedEntry &entry,
                   FileFlush flush, StartedFiles *started, const std::atomic<bool> &abandon)
{
    OutputFile out(parent, entry);
    if (Result<> created = out.create(); !created)
        return created;
    if (data) {
        if (Result<> wrote = out.writeAt(data, static_cast<std::size_t>(entry.size), 0); !wrote)
            return wrote;
        return out.finish(flush, started);
    }
    for (;;) {
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int r = archive_read_data_block(reader.handle(), &block, &size, &offset);
        if (r == ARCHIVE_EOF)
            break;
        // A warning here is a checksum mismatch or a short entry: the data is not trustworthy.
        if (r != ARCHIVE_OK)
            return Failure{reader.damagedText()};
        if (Result<> wrote = out.writeAt(static_cast<const char *>(block), size, offset); !wrote)
            return wrote;
        if (stopRequested())
            return Failure{"interrupted"};
        if (abandon.load(std::memory_order_relaxed))
            return Failure{"abandoned"};
    }
    return out.finish(flush, started);
}

Result<> flushDirectory(NativeValue parent, const PlannedDirectory &directory)
{
    const Result<NativeHandle> opened = openDirectoryAt(parent, directory.leaf);
    Result<> flushed = opened ? flushOpenDirectory(opened.value().get()) : Result<>(opened.failure());
    if (!flushed)
        return flushed.failure().about("cannot write '" + directory.path + "'");
    return {};
}

namespace {

constexpr std::string_view kStagingPrefix = ".unzip-";

std::string randomSuffix()
{
    static std::mt19937_64 generator{std::random_device{}()};
    constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::uniform_int_distribution<int> pick(0, 35);
    std::string suffix(12, '0');
    for (char &c : suffix)
        c = digits[pick(generator)];
    return suffix;
}

}  // namespace

Result<std::unique_ptr<StagingDirectory>> StagingDirectory::create(NativeValue destination,
                                                                   const std::string &destinationName)
{
    Failure last;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = std::string(kStagingPrefix) + randomSuffix();
        if (const Result<> made = makeDirectoryAt(destination, name, 0700); !made) {
            last = made.failure();
            if (alreadyThere(last))
                continue;  // name taken; draw another
            break;
        }
        std::unique_ptr<StagingDirectory> staging(new StagingDirectory(destination, destinationName, name));
        StagingDirectory &s = *staging;
        const auto openInto = [](NativeValue parent, const std::string &leaf, NativeHandle &handle) -> Result<> {
            Result<NativeHandle> opened = openDirectoryAt(parent, leaf);
            if (!opened)
                return opened.failure();
            handle = std::move(opened).value();
            return {};
        };
        Result<> made = openInto(destination, name, s.root_);
        if (made)
            made = makeDirectoryAt(s.root_.get(), "tree", 0700);
        if (made)
            made = makeDirectoryAt(s.root_.get(), "replaced", 0700);
        if (made)
            made = openInto(s.root_.get(), "tree", s.tree_);
        if (made)
            made = openInto(s.root_.get(), "replaced", s.replaced_);
        if (!made)
            // NOLINTNEXTLINE(performance-inefficient-string-concatenation): once, on the way out
            return made.failure().about("cannot create '" + destinationName + "/" + name + "/tree'");
        return staging;
    }
    return last.about("cannot create a staging directory in '" + destinationName + "'");
}

StagingDirectory::~StagingDirectory()
{
    tree_.reset();
    replaced_.reset();
    root_.reset();
    removeTreeAt(destination_, rootName_);
}

Result<> StagingDirectory::flush(bool wholeFileSystem)
{
    const Result<> flushed = wholeFileSystem ? flushFileSystemOf(tree_.get()) : flushOpenDirectory(tree_.get());
    if (!flushed)
        return flushed.failure().about("cannot write '" + destinationName_ + "/" + rootName_ + "/tree' to the disk");
    return {};
}

Result<> StagingDirectory::moveIntoPlace()
{
    Result<std::vector<DirectoryEntry>> listing = listDirectory(tree_.get());
    if (!listing)
        return listing.failure().about("cannot list '" + destinationName_ + "/" + rootName_ + "/tree'");
    std::vector<DirectoryEntry> listed = std::move(listing).value();
    // Entries holding the marker go last. A link to a folder that holds it is not that
    // folder: it goes with the others.
    const auto holdsVersionFile = [this](const DirectoryEntry &entry) {
        if (entry.name == "version.txt")
            return true;
        if (!entry.isDirectory)
            return false;
        const Result<NativeHandle> folder = openDirectoryAt(tree_.get(), entry.name);
        return folder && existsAt(folder.value().get(), "version.txt");
    };
    std::stable_partition(listed.begin(), listed.end(), [&](const DirectoryEntry &entry) { return !holdsVersionFile(entry); });

    for (const DirectoryEntry &entry : listed) {
        const std::string &name = entry.name;
        const bool occupied = existsAt(destination_, name);
        if (occupied) {
            if (const Result<> aside = moveEntry(destination_, name, replaced_.get()); !aside)
                // NOLINTNEXTLINE(performance-inefficient-string-concatenation): once, on the way out
                return aside.failure().about("cannot move the old '" + destinationName_ + "/" + name + "' aside");
        }
        if (const Result<> moved = moveEntry(tree_.get(), name, destination_); !moved) {
            if (occupied)
                (void)moveEntry(replaced_.get(), name, destination_);  // put the old one back
            return moved.failure().about("cannot move '" + name + "' into '" + destinationName_ + "'");
        }
    }
    if (const Result<> flushed = flushOpenDirectory(destination_); !flushed)
        return flushed.failure().about("cannot write '" + destinationName_ + "' to the disk");
    return {};
}

std::size_t removeStaleStaging(NativeValue destination)
{
    const Result<std::vector<DirectoryEntry>> listed = listDirectory(destination);
    std::size_t removed = 0;
    if (!listed)
        return removed;
    for (const DirectoryEntry &entry : listed.value()) {
        if (entry.isDirectory && entry.name.rfind(kStagingPrefix, 0) == 0 && removeTreeAt(destination, entry.name))
            ++removed;
    }
    return removed;
}

namespace {

// Set by a signal handler, read by every extraction worker: a lock-free atomic is safe for both.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

void requestStop() { g_stop.store(true, std::memory_order_relaxed); }

bool stopRequested() { return g_stop.load(std::memory_order_relaxed); }

void sleepUnlessStopped(unsigned milliseconds)
{
    using namespace std::chrono;
    const auto end = steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!stopRequested() && steady_clock::now() < end)
        std::this_thread::sleep_for(std::min<steady_clock::duration>(end - steady_clock::now(), 10ms));
}

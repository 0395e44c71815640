#include "tools/unzip/entrywriter.h"

#include "tools/unzip/directoryops.h"
#include "tools/unzip/stoprequest.h"

#include <algorithm>
#include <system_error>
#include <thread>

namespace {

// Threads that wait for started files at once. They sleep in the system while the disk works;
// more waits in flight let the block layer answer many with one flush of the disk's cache.
constexpr std::size_t kWaiters = 16;

}  // namespace

StartedFiles::StartedFiles(std::size_t reserved)
    : limit_(std::max<std::size_t>(openFilesAtMost() - std::min(openFilesAtMost(), reserved), 16))
{
}

bool StartedFiles::add(NativeHandle file, const PlannedEntry &entry, std::string &error)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (files_.size() >= limit_ && !waitAllLocked(error))
        return false;
    files_.emplace_back(std::move(file), &entry);
    return true;
}

bool StartedFiles::waitAll(std::string &error)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return waitAllLocked(error);
}

bool StartedFiles::waitAllLocked(std::string &error)
{
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex failure;
    const auto wait = [&] {
        for (std::size_t i; !failed.load() && (i = next.fetch_add(1)) < files_.size();) {
            std::string reason;
            if (!waitForStartedFile(files_[i].first, reason)) {
                const std::lock_guard<std::mutex> first(failure);
                if (!failed.exchange(true))
                    error = "cannot write '" + files_[i].second->name + "': " + reason;
            }
        }
    };
    std::vector<std::thread> waiters;
    for (std::size_t k = 1; k < std::min(kWaiters, files_.size()); ++k) {
        try {
            waiters.emplace_back(wait);
        } catch (const std::system_error &) {
            break;  // fewer waiters: the others take their share
        }
    }
    wait();
    for (std::thread &t : waiters)
        t.join();
    files_.clear();
    return !failed.load();
}

bool writeFile(ArchiveReader &reader, const char *data, NativeValue parent, const PlannedEntry &entry, FileFlush flush,
               StartedFiles *started, const std::atomic<bool> &abandon, std::string &error)
{
    OutputFile out(parent, entry);
    if (!out.create(error))
        return false;
    if (data) {
        if (!out.writeAt(data, static_cast<std::size_t>(entry.size), 0, error))
            return false;
        return out.finish(flush, started, error);
    }
    for (;;) {
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int r = archive_read_data_block(reader.handle(), &block, &size, &offset);
        if (r == ARCHIVE_EOF)
            break;
        // A warning here is a checksum mismatch or a short entry: the data is not trustworthy.
        if (r != ARCHIVE_OK) {
            error = reader.damagedText();
            return false;
        }
        if (!out.writeAt(static_cast<const char *>(block), size, offset, error))
            return false;
        if (stopRequested()) {
            error = "interrupted";
            return false;
        }
        if (abandon.load(std::memory_order_relaxed)) {
            error = "abandoned";
            return false;
        }
    }
    return out.finish(flush, started, error);
}

bool flushDirectory(NativeValue parent, const PlannedDirectory &directory, std::string &error)
{
    std::string reason;
    const NativeHandle opened = openDirectoryAt(parent, directory.leaf, reason);
    if (opened.valid() && flushOpenDirectory(opened.get(), reason))
        return true;
    error = "cannot write '" + directory.path + "': " + reason;
    return false;
}

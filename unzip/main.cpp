// unzip.exe ARCHIVE DESTDIR
//
// Extracts the zip archive ARCHIVE into the directory DESTDIR for the launcher. While it works
// it holds the named mutex kExtractMutex (platform/packagenames.h), which the launcher polls;
// the extracted tree appears in DESTDIR in one step at the end (extract.h), so once the mutex
// is gone, the presence of the installed version file means a complete installation. An
// archive that is not a whole package (plan.h) is refused before anything is written.
//
// Exit status: 0 on success, 1 when the archive is missing, damaged, unsafe, incomplete or (in
// a build with a package key) not signed by the vendor, or the tree cannot be written (one line
// on standard error says why), 2 on wrong usage. The same status goes on the first line of
// DESTDIR/unzip-result.txt (kExtractResultFileName) before the mutex is released: the launcher
// runs the tool through the command interpreter and sees no exit status.
//
// It extracts with one worker per core available to the process, at most 8.
//
// The test and benchmark build of the tool (NEMBRAL_UNZIP_TEST_SWITCHES, unzip/CMakeLists.txt;
// never shipped) also reads:
// NEMBRAL_UNZIP_WORKERS=N extracts with at most N workers (1 to 8), for tests that need one
// worker and benchmarks that show what the others gain.
// NEMBRAL_UNZIP_RUNS_PER_WORKER=N cuts the entries into N runs per worker (default 8; see
// extract.h), for benchmarks that compare ways of sharing them.
// NEMBRAL_UNZIP_ENTRY_DELAY_MS=N makes each worker pause N ms after each entry, for tests and
// demonstrations that need to watch an extraction in progress.
// NEMBRAL_UNZIP_FLUSH=entries flushes every file as it is closed, =filesystem flushes the
// staging file system at once (syncfs) instead of waiting for each file's writeback started as
// it was closed (extract.h), for the benchmark that compares them; all are durable. On
// Windows every file and folder is flushed on its own in any case.
// NEMBRAL_UNZIP_WHOLE_ENTRIES=0 reads every entry through libarchive's stream, for the
// benchmark that shows what decompressing small entries whole gains (extract.h).

#include "platform/log.h"
#include "platform/namedmutex.h"
#include "platform/packagenames.h"
#include "unzip/archive.h"
#include "unzip/extract.h"
#include "unzip/plan.h"
#include "unzip/signature.h"
#include "unzip/system.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr unsigned kMaxWorkers = 8;

// Messages carry names from the archive and libarchive's words about it: escaped, so that the
// line stays one line and cannot move the cursor or recolour the console it lands on.
int fail(const std::string &message)
{
    logErrorLine("unzip.exe: " + escapedForLog(message));
    return 1;
}

#ifdef NEMBRAL_UNZIP_TEST_SWITCHES
// A whole number from the environment variable `name`, or `fallback` when it is unset or
// not a number up to `limit`.
unsigned numberFromEnvironment(const char *name, unsigned long limit, unsigned fallback)
{
    const char *value = std::getenv(name);
    if (!value || !*value)
        return fallback;
    char *end = nullptr;
    const unsigned long n = std::strtoul(value, &end, 10);
    return (*end == '\0' && n <= limit) ? static_cast<unsigned>(n) : fallback;
}
#endif

ExtractOptions optionsFromEnvironment()
{
    ExtractOptions options;
#ifdef NEMBRAL_UNZIP_TEST_SWITCHES
    const unsigned workers = numberFromEnvironment("NEMBRAL_UNZIP_WORKERS", 1024, availableCores());
#else
    const unsigned workers = availableCores();
#endif
    options.workers = std::clamp(workers, 1u, kMaxWorkers);
    // Where the process may not flush the whole file system at once (Windows), each entry is.
    if (!canFlushFileSystem())
        options.flush = ExtractOptions::Flush::EachEntry;
#ifdef NEMBRAL_UNZIP_TEST_SWITCHES
    options.runsPerWorker = numberFromEnvironment("NEMBRAL_UNZIP_RUNS_PER_WORKER", 1u << 20, options.runsPerWorker);
    options.entryDelayMs = numberFromEnvironment("NEMBRAL_UNZIP_ENTRY_DELAY_MS", 60000, 0);
    const std::string flush = std::getenv("NEMBRAL_UNZIP_FLUSH") ? std::getenv("NEMBRAL_UNZIP_FLUSH") : "";
    if (flush == "entries")
        options.flush = ExtractOptions::Flush::EachEntry;
    else if (flush == "filesystem" && canFlushFileSystem())
        options.flush = ExtractOptions::Flush::FileSystem;
    options.wholeEntries = numberFromEnvironment("NEMBRAL_UNZIP_WHOLE_ENTRIES", 1, 1) != 0;
#endif
    return options;
}

// Best effort: a launcher that finds no result goes on waiting, as for a tool still starting.
void writeResult(const std::string &destinationPath, int status)
{
    const std::string path = destinationPath + "/" + kExtractResultFileName;
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        return;
    (void)std::fprintf(file, "%d\n", status);
    (void)std::fclose(file);
}

// `mutex` is the caller's, so that it is released after the result is written; `otherRun` is
// set when another extraction holds it, whose result is not this run's to write.
int run(const std::string &archivePath, const std::string &destinationPath, std::optional<NamedMutexHolder> &mutex,
        bool &otherRun)
{
    // Opened once, before the mutex is taken (a missing archive writes nothing at all); every
    // later read, of every worker, is of this same file.
    Result<std::unique_ptr<ArchiveFile>> opened = ArchiveFile::open(archivePath);
    if (!opened)
        return fail(opened.failure().text);
    const std::unique_ptr<ArchiveFile> archive = std::move(opened).value();

    // The mutex can have several holders. A second extraction would race the first one for
    // the same tree (and take its staging directory for a leftover), so it is refused.
    otherRun = namedMutexExists(kExtractMutex);
    if (otherRun)
        return fail(std::string("another extraction is running (the named mutex ") + kExtractMutex + " exists)");
    mutex.emplace(kExtractMutex);
    if (!mutex->held())
        return fail(std::string("cannot hold the named mutex ") + kExtractMutex);

    // A build with the vendor's key refuses any archive the vendor did not sign, before the
    // archive is parsed at all and before anything is written.
    // A second key (the vendor's next) is tried when the first refuses: a vendor moving to a
    // new key pair signs with either, and the tool's first reason is the one reported.
    if (const std::string_view key = packagePublicKey(); !key.empty())
        if (const Result<> checked = checkPackageSignature(*archive, key); !checked)
            if (const std::string_view next = packageNextPublicKey(); next.empty() || !checkPackageSignature(*archive, next))
                return fail(checked.failure().text);

    // Every entry is checked before the first write.
    const Result<ExtractionPlan> planned = planExtraction(*archive);
    if (!planned)
        return fail(planned.failure().text);
    const ExtractionPlan &plan = planned.value();
    if (const Result<> whole = checkPackage(plan); !whole)
        return fail(whole.failure().about("archive '" + archivePath + "' is not a complete package").text);

    // A link this account may not make would fail the extraction half-way: refused here,
    // before anything is written.
    const auto &entries = plan.entries;
    if (const auto link = std::find_if(entries.begin(), entries.end(), [](const PlannedEntry &e) { return e.kind == PlannedEntry::Symlink; });
        link != entries.end()) {
        if (const Result<> may = prepareToWriteLinks(); !may)
            return fail(may.failure().about("cannot extract the symbolic link '" + link->name + "' of '" + archivePath + "'").text);
    }

    Result<NativeHandle> openedDestination = openDestination(destinationPath);
    if (!openedDestination)
        return fail(openedDestination.failure().text);
    const NativeHandle destination = std::move(openedDestination).value();
    removeStaleStaging(destination.get());
    Result<std::unique_ptr<StagingDirectory>> made = StagingDirectory::create(destination.get(), destinationPath);
    if (!made)
        return fail(made.failure().text);
    const std::unique_ptr<StagingDirectory> staging = std::move(made).value();

    const ExtractOptions options = optionsFromEnvironment();
    if (const Result<std::size_t> extracted = extractPlan(*archive, plan, staging->tree(), options); !extracted)
        return fail(extracted.failure().text);
    if (stopRequested())
        return fail("interrupted");
    // Durable before visible: nothing is moved into place before all of it is on the disk.
    if (const Result<> flushed = staging->flush(options.flush == ExtractOptions::Flush::FileSystem); !flushed)
        return fail(flushed.failure().text);
    if (const Result<> moved = staging->moveIntoPlace(); !moved)
        return fail(moved.failure().text);
    return 0;
    // The staging directory goes before the destination handle (reverse order of
    // declaration); the mutex, the caller's, after the result is written.
}

}  // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> arguments = toolArguments(argc, argv);
    if (arguments.size() != 2 || arguments[0].empty() || arguments[1].empty()) {
        logErrorLine("usage: unzip.exe ARCHIVE DESTDIR");
        return 2;
    }
    prepareProcess();
    installStopHandlers();
    std::optional<NamedMutexHolder> mutex;
    bool otherRun = false;
    const int status = run(arguments[0], arguments[1], mutex, otherRun);
    if (!otherRun)
        writeResult(arguments[1], status);
    return status;
}

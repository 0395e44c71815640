// unzip.exe for Windows as the launcher runs it ("unzip.exe ARCHIVE DESTDIR" from the working
// directory), in what the shared tables (tests/tools, which run against this tool too) cannot
// show under wine: entries written through the tool's own folder handles, and links as wine
// shows Unix links. Archives come from the extraction tests' Qt-free zip writer.
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/namedmutex.h"
#include "platform/win/handle_win.h"
#include "support/zipwriter.h"
#include "testsupport_win.h"
#include "unzip/extract.h"
#include "unzip/system.h"

// The slot of this program's import table through which it, the tool's code linked in
// included, calls FlushFileBuffers; the loader fills it.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the linker gives that slot
extern "C" BOOL(WINAPI *__imp_FlushFileBuffers)(HANDLE);

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::ScratchDirectory;
using testsupport::waitUntil;
namespace fs = std::filesystem;

namespace {

const std::string kMutex = "Local\\mutex_unzip";
constexpr std::int64_t kFirstTime = 1700000000;

fs::path utf8Path(const std::string &name)
{
    return fs::path(std::u8string(name.begin(), name.end()));
}

// Sets an environment variable of this process, which the tool inherits, for a scope.
class EnvironmentSetting {
public:
    EnvironmentSetting(const wchar_t *name, const std::wstring &value) : name_(name)
    {
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~EnvironmentSetting() { SetEnvironmentVariableW(name_, nullptr); }
    EnvironmentSetting(const EnvironmentSetting &) = delete;
    EnvironmentSetting &operator=(const EnvironmentSetting &) = delete;

private:
    const wchar_t *name_;
};

struct ToolRun {
    long exitCode = -1;
    std::vector<std::string> lines;  // standard output and error
};

fs::path outputFile()
{
    static int counter = 0;
    return fs::temp_directory_path()
           / ("nembral-unzip-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter) + ".txt");
}

ToolRun runTool(const fs::path &archive, const std::wstring &destination)
{
    const fs::path out = outputFile();
    ToolRun run;
    {
        ChildProcess tool(testsupport::ownDirectory() / "unzip.exe", {archive.wstring(), destination}, out);
        run.exitCode = tool.waitForExit(120000);
    }
    run.lines = testsupport::splitLines(testsupport::readFile(out));
    std::error_code ec;
    fs::remove(out, ec);
    return run;
}

std::string someBytes(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (char &c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

ZipEntry file(const std::string &name, const std::string &data, std::int64_t mtime = kFirstTime)
{
    ZipEntry e;
    e.name = name;
    e.data = data;
    e.mtime = mtime;
    return e;
}

// A package spread over folders: the marker first, `files` files of assorted sizes (some
// larger than a read block), each with a time of its own.
std::vector<ZipEntry> package(const std::string &version, int files)
{
    std::vector<ZipEntry> entries{file("nembral/version.txt", version + "\n"), file("nembral/Nembrals.exe", "MZ" + version)};
    for (int i = 0; i < files; ++i) {
        const std::string dir = "nembral/d" + std::to_string(i % 5) + "/s" + std::to_string(i % 3) + "/";
        const std::size_t size = i % 40 == 0 ? 200 * 1024 + i : static_cast<std::size_t>(i) * 37 % 3000;
        entries.push_back(file(dir + "f" + std::to_string(i), someBytes(size, i), kFirstTime + i));
    }
    return entries;
}

fs::path writeArchive(const fs::path &path, const std::vector<ZipEntry> &entries)
{
    const std::string error = writeZip(path, entries);
    CHECK_MSG(error.empty(), "cannot write the test archive: " + error);
    return path;
}

std::vector<fs::path> stagingDirectories(const fs::path &destination)
{
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(destination, ec)) {
        if (entry.path().filename().string().rfind(".unzip-", 0) == 0)
            found.push_back(entry.path());
    }
    return found;
}

int stagedFiles(const fs::path &destination)
{
    int files = 0;
    for (const fs::path &staging : stagingDirectories(destination)) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(staging, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            files += it->is_regular_file(ec) ? 1 : 0;
    }
    return files;
}

std::vector<std::string> namesIn(const fs::path &directory)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(directory, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::int64_t lastWriteTime(const fs::path &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<std::int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

std::int64_t fileTime(std::int64_t unixSeconds)
{
    return (unixSeconds + 11644473600LL) * 10000000LL;
}

// Every file of `entries` below `root` (the folder that holds "nembral"), with its bytes and time.
bool holdsPackage(const fs::path &root, const std::vector<ZipEntry> &entries)
{
    bool ok = true;
    for (const ZipEntry &e : entries) {
        const fs::path path = root / utf8Path(e.name);
        ok = CHECK_MSG(testsupport::readFile(path) == e.data, "wrong or missing: " + e.name) && ok;
        ok = CHECK_MSG(lastWriteTime(path) == fileTime(e.mtime), "wrong time: " + e.name) && ok;
    }
    return ok;
}

// The tool creates every entry relative to handles on the folders it opened: the destination
// moved away while the tool writes takes the entries along, and nothing is made under its old
// name. Windows then moves the tree into place in the moved folder. wine 8 resolves a rename
// or deletion relative to a handle through the path the handle was opened by, so there the
// final move fails (and the staging folder stays behind), saying so.
void writesThroughItsOwnHandles()
{
    harness::beginCase("files are written through the tool's own handles: a moved destination gets them");
    const ScratchDirectory scratch("unzip-moved");
    const std::vector<ZipEntry> entries = package("3.0", 60);
    const fs::path zip = writeArchive(scratch.path() / "slow.zip", entries);
    const EnvironmentSetting workers(L"NEMBRAL_UNZIP_WORKERS", L"1");
    const EnvironmentSetting delay(L"NEMBRAL_UNZIP_ENTRY_DELAY_MS", L"40");
    fs::create_directories("nembral");

    // The test build of the tool: the shipped one reads no entry delay.
    ChildProcess tool(testsupport::ownDirectory() / "test-tool" / "unzip.exe", {zip.wstring(), L"nembral"}, scratch.path() / "out.txt");
    CHECK(waitUntil([] { return stagedFiles("nembral") >= 4; }, 60s));
    if (!MoveFileExW(L"nembral", L"moved", 0)) {
        // Windows may keep a folder with open handles below it in its place.
        harness::report("   skipped: the destination cannot be moved while the tool works: "
                        + std::to_string(GetLastError()));
        tool.waitForExit(120000);
        return;
    }
    const int stagedWhenMoved = stagedFiles("moved");
    CHECK(waitUntil([&] { return stagedFiles("moved") >= stagedWhenMoved + 4 || !tool.running(); }, 60s));
    CHECK(stagedFiles("moved") >= stagedWhenMoved + 4 || fs::exists("moved/nembral/version.txt"));
    const long exitCode = tool.waitForExit(120000);
    const std::vector<std::string> lines = testsupport::splitLines(testsupport::readFile(scratch.path() / "out.txt"));
    CHECK(!fs::exists("nembral"));
    if (exitCode == 0) {
        holdsPackage("moved", entries);
        CHECK_EQ(namesIn("moved"), std::vector<std::string>{"nembral"});
    } else {
        CHECK_EQ(lines.size(), std::size_t(1));
        CHECK_MSG(!lines.empty() && lines.front().rfind("unzip.exe: cannot move 'nembral' into 'nembral': ", 0) == 0,
                  lines.empty() ? std::string("no message") : lines.front());
        CHECK(!fs::exists("moved/nembral"));
    }
}

// The lane's links (testsupport::LinkFixtureCase): CASE/nembral or CASE/nembral/nembral ->
// outside/CASE, which holds keep.txt. A link at DESTDIR is an installation moved elsewhere:
// the tree lands where it points and the link stays. A link where the installed tree goes is
// never written through.
void linksAtTheDestination()
{
    const testsupport::LinkRow rows[] = {
        {"a reparse point at DESTDIR is followed; the link stays", "unzip-destination-link", "nembral"},
        {"a reparse point at the installed tree is replaced, never written through", "unzip-tree-link", "nembral/nembral"},
    };
    const ScratchDirectory scratch("unzip-links");
    const fs::path zip = writeArchive(scratch.path() / "p.zip", package("6.0", 3));
    for (const testsupport::LinkRow &row : rows) {
        harness::beginCase(row.name);
        const testsupport::LinkFixtureCase fixture(row.fixture);
        if (!fixture.entered())
            continue;
        const fs::path &outside = fixture.outside();
        CHECK_MSG(testsupport::LinkFixtureCase::isReparsePoint(row.link), "the fixture's link does not read back as a reparse point");

        const ToolRun run = runTool(zip, L"nembral");
        const std::string line = run.lines.empty() ? std::string() : run.lines.front();
        if (std::string(row.link) == "nembral") {
            CHECK_EQ(run.exitCode, 0L);
            CHECK_EQ(run.lines, std::vector<std::string>{});
            CHECK((GetFileAttributesW(L"nembral") & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
            CHECK_EQ(testsupport::readFile(outside / "nembral" / "version.txt"), std::string("6.0\n"));
            CHECK(stagingDirectories(outside).empty());
            // The result for the launcher goes where DESTDIR leads, as the tree does.
            CHECK_EQ(testsupport::readFile(outside / "unzip-result.txt"), std::string("0\n"));
            fs::remove_all(outside / "nembral");  // all that may differ below
            fs::remove(outside / "unzip-result.txt");
        } else if (run.exitCode == 0) {
            CHECK((GetFileAttributesW(L"nembral\\nembral") & FILE_ATTRIBUTE_REPARSE_POINT) == 0);
            CHECK_EQ(testsupport::readFile("nembral/nembral/version.txt"), std::string("6.0\n"));
        } else {
            // wine 8 opens a Unix link's target whatever the flags, so the link cannot be moved
            // aside without moving its target: the tool gives up instead.
            CHECK_EQ(run.exitCode, 1L);
            CHECK_MSG(line.rfind("unzip.exe: cannot move the old 'nembral/nembral' aside: it is a link", 0) == 0, line);
        }
        CHECK_EQ(namesIn(outside), std::vector<std::string>{"keep.txt"});
        CHECK_EQ(testsupport::readFile(outside / "keep.txt"), std::string("keep"));
        CHECK(stagingDirectories("nembral").empty());
        CHECK(!namedMutexExists(kMutex));
    }
}

// A virus scanner holds a new executable open for a moment without delete sharing, and no
// folder above it can be renamed meanwhile: the move into place waits for it. wine refuses a
// folder's rename only while the folder itself is held, so the staged top folder is held here,
// from before the extraction ends until well after.
void moveIntoPlaceWaitsForAHolder()
{
    harness::beginCase("the move into place waits while another program holds the staged tree");
    const ScratchDirectory scratch("unzip-held");
    const std::vector<ZipEntry> entries = package("7.0", 12);
    const fs::path zip = writeArchive(scratch.path() / "held.zip", entries);
    const EnvironmentSetting workers(L"NEMBRAL_UNZIP_WORKERS", L"1");
    const EnvironmentSetting delay(L"NEMBRAL_UNZIP_ENTRY_DELAY_MS", L"30");
    fs::create_directories("nembral");

    // The test build of the tool: the shipped one reads no entry delay.
    ChildProcess tool(testsupport::ownDirectory() / "test-tool" / "unzip.exe", {zip.wstring(), L"nembral"}, scratch.path() / "out.txt");
    fs::path staged;
    CHECK(waitUntil(
        [&] {
            const std::vector<fs::path> found = stagingDirectories("nembral");
            std::error_code ec;
            if (!found.empty() && fs::exists(found.front() / "tree" / "nembral", ec))
                staged = found.front() / "tree" / "nembral";
            return !staged.empty();
        },
        60s));
    // Read access, as a scanner asks: an open for attributes alone would not count for sharing.
    WinHandle holder(CreateFileW(staged.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    CHECK(holder.valid());
    CHECK(waitUntil([&] { return stagedFiles("nembral") >= static_cast<int>(entries.size()) || !tool.running(); }, 60s));
    // Long enough for the tool to meet the holder, short of the time it waits at most.
    Sleep(1500);
    const bool waited = tool.running();
    holder.reset();
    const long exitCode = tool.waitForExit(120000);
    CHECK_MSG(waited, "the tool did not wait: " + testsupport::readFile(scratch.path() / "out.txt"));
    CHECK_EQ(exitCode, 0L);
    holdsPackage("nembral", entries);
    CHECK(stagingDirectories("nembral").empty());
}

// Makes every FlushFileBuffers of this program, the tool's code among it, fail with `error`
// while it lives (0: the system's own flush).
class RefusedFlushes {
public:
    explicit RefusedFlushes(DWORD error)
    {
        error_ = error;
        real_ = __imp_FlushFileBuffers;
        setSlot(error ? &refuse : real_);
    }
    ~RefusedFlushes() { setSlot(real_); }
    RefusedFlushes(const RefusedFlushes &) = delete;
    RefusedFlushes &operator=(const RefusedFlushes &) = delete;

private:
    using Flush = BOOL(WINAPI *)(HANDLE);
    static BOOL WINAPI refuse(HANDLE)
    {
        SetLastError(error_);
        return FALSE;
    }
    static void setSlot(Flush flush)
    {
        DWORD previous = 0;
        if (VirtualProtect(&__imp_FlushFileBuffers, sizeof flush, PAGE_READWRITE, &previous)) {
            __imp_FlushFileBuffers = flush;
            VirtualProtect(&__imp_FlushFileBuffers, sizeof flush, previous, &previous);
        }
    }
    static inline DWORD error_ = 0;
    static inline Flush real_ = nullptr;
};

// FAT, exFAT and network shares refuse a folder's flush as unsupported: done, for the tool; any
// other failure, and any failed file flush, stays one. The system's answer is replaced in this
// program's import table; the tool's folder and file code runs as it is.
void folderFlushesThatAreNotSupported()
{
    const struct {
        const char *name;
        DWORD error;  // what each flush returns; 0: the system's own flush
        bool folderFlushed;
        bool fileFlushed;
    } rows[] = {
        {"flushes as the system does them", 0, true, true},
        {"refused as an invalid function (FAT, exFAT)", ERROR_INVALID_FUNCTION, true, false},
        {"refused as not supported (a network share)", ERROR_NOT_SUPPORTED, true, false},
        {"failing on the device", ERROR_IO_DEVICE, false, false},
    };
    for (const auto &row : rows) {
        harness::beginCase(std::string("folder and file flushes ") + row.name);
        const ScratchDirectory scratch("unzip-flush");
        std::string error;
        const NativeHandle folder = openDestination("flushed", error);
        CHECK_MSG(folder.valid(), error);
        PlannedEntry entry;
        entry.name = entry.leaf = entry.path = "file.bin";
        entry.size = 4;
        OutputFile file(folder.get(), entry);
        CHECK_MSG(file.create(error) && file.writeAt("data", 4, 0, error), error);

        const RefusedFlushes refused(row.error);
        std::string reason;
        CHECK_EQ(flushOpenDirectory(folder.get(), reason), row.folderFlushed);
        CHECK_EQ(reason.empty(), row.folderFlushed);
        error.clear();
        CHECK_EQ(file.finish(FileFlush::Now, nullptr, error), row.fileFlushed);
        CHECK_MSG(row.fileFlushed || error.rfind("cannot write 'file.bin': ", 0) == 0, error);
    }
}

// The tool's own removal and listing (the handle-relative ones the launcher shares): a
// read-only file does not stop it, a file another program holds without delete sharing stays
// while the rest goes, and a link below is removed itself or, where only its target opens (wine),
// left with its target.
void removesItsOwnTrees()
{
    const struct {
        const char *name;
        const char *fixture;  // the lane's link case to work in, or none
        bool held;            // tree/a/held.bin held open without delete sharing
    } rows[] = {
        {"the tool's removal: read-only files and nested folders", nullptr, false},
        {"the tool's removal: a held file stays, the rest goes", nullptr, true},
        {"the tool's removal: a link below is never followed", "unzip-tree-link", false},
    };
    for (const auto &row : rows) {
        harness::beginCase(row.name);
        const ScratchDirectory scratch("unzip-remove");
        std::optional<testsupport::LinkFixtureCase> fixture;
        if (row.fixture != nullptr) {
            fixture.emplace(row.fixture);
            if (!fixture->entered())
                continue;
        }
        const fs::path tree = row.fixture != nullptr ? fs::path("nembral") : fs::path("tree");
        if (row.fixture == nullptr) {
            fs::create_directories(tree / "a" / "b");
            testsupport::writeFile(tree / "top.txt", "x");
            testsupport::writeFile(tree / "a" / "held.bin", "x");
            testsupport::writeFile(tree / "a" / "b" / "read-only.txt", "x");
            CHECK(SetFileAttributesW((tree / "a" / "b" / "read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY));
        }
        std::string error;
        const NativeHandle parent = openDestination(".", error);
        CHECK_MSG(parent.valid(), error);
        std::vector<DirectoryEntry> listed;
        {
            // Closed before the removal: a folder goes when its last handle does.
            const NativeHandle opened = openDirectoryAt(parent.get(), tree.string(), error);
            CHECK_MSG(opened.valid() && listDirectory(opened.get(), listed, error), error);
        }
        std::vector<std::string> names;
        for (const DirectoryEntry &entry : listed)
            names.push_back(entry.name + (entry.isDirectory ? "/" : ""));
        std::sort(names.begin(), names.end());
        // A link to a folder is no directory to the listing.
        if (row.fixture != nullptr)
            CHECK(std::find(names.begin(), names.end(), "nembral") != names.end());
        else
            CHECK_EQ(names, (std::vector<std::string>{"a/", "top.txt"}));

        WinHandle holder;
        if (row.held)
            holder.reset(CreateFileW((tree / "a" / "held.bin").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
        const bool removed = removeTreeAt(parent.get(), tree.string());
        if (row.held) {
            CHECK(!removed);
            CHECK(fs::exists(tree / "a" / "held.bin") && !fs::exists(tree / "top.txt") && !fs::exists(tree / "a" / "b"));
        } else if (row.fixture != nullptr) {
            CHECK(removed == !fs::exists(tree));
            CHECK(removed || testsupport::LinkFixtureCase::isReparsePoint(tree / "nembral"));
            CHECK_EQ(namesIn(fixture->outside()), std::vector<std::string>{"keep.txt"});
            CHECK_EQ(testsupport::readFile(fixture->outside() / "keep.txt"), std::string("keep"));
        } else {
            CHECK(removed);
            CHECK(!fs::exists(tree));
        }
    }
}

}  // namespace

int main()
{
    writesThroughItsOwnHandles();
    linksAtTheDestination();
    moveIntoPlaceWaitsForAHolder();
    folderFlushesThatAreNotSupported();
    removesItsOwnTrees();
    return harness::finish();
}

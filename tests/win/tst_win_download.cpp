// One download attempt with the real URLDownloadToFileW, against the loopback vendor server
// over https (NEMBRAL_HTTP_BASE, files in NEMBRAL_HTTP_ROOT), whose CA the lane added to the
// wine prefix's root store: the destination's length, the size limit, a link on the way.
// (downloadFile's attempts run in the shared Qt suite tst_downloadfile; the attempt's own Qt
// suite needs Qt Network, which the Windows Qt is built without.)
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "harness.h"
#include "platform/downloadattempt.h"
#include "testsupport_win.h"
#include "tests/platform/cases/download_cases.h"

using namespace std::chrono_literals;
using testsupport::OutputCapture;
using testsupport::ScratchDirectory;
namespace fs = std::filesystem;

namespace {

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The served folder as this process sees it: under wine a Linux path is reached through the
// Z: drive.
fs::path servedFile(const std::string &name)
{
    std::string root = environment("NEMBRAL_HTTP_ROOT");
    if (!root.empty() && root.front() == '/')
        root = "Z:" + root;
    return fs::path(root) / name;
}

void destinationLength(const std::string &base)
{
    harness::beginCase("destination of 259 characters is used, 260 is refused without writing");
    const ScratchDirectory scratch("dl-long");
    wchar_t directory[MAX_PATH] = {};
    const DWORD directoryLength = GetCurrentDirectoryW(MAX_PATH, directory);
    CHECK(directoryLength > 0 && directoryLength < 200);
    const std::string url = base + "/Software/Nembral/version.txt";
    // "%s" + "\" + name: the path is the directory, a backslash and the name.
    const std::size_t fitting = 259 - directoryLength - 1;
    const std::string fitName(fitting, 'f');
    const std::string longName(fitting + 1, 'g');

    OutputCapture capture;
    const HResult fits = downloadAttempt(url, "%s\\" + fitName);
    const HResult tooLong = downloadAttempt(url, "%s\\" + longName);
    const auto lines = capture.outLines();
    CHECK_EQ(fits, 0);
    CHECK(fs::exists(fitName));
    CHECK_EQ(static_cast<unsigned long>(tooLong), 0x800700ceUL);  // HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)
    CHECK(!fs::exists(fs::path(longName)));
    // One line says why, and the attempt did not get as far as the observer.
    CHECK_MSG(!lines.empty() && lines.back() == "Download destination path is 260 characters long, more than the 259 that fit.",
              harness::describe(lines));
    CHECK_EQ(std::count(lines.begin(), lines.end(), std::string("CallbackHandler")), 1L);

    harness::beginCase("a pattern without exactly one %s is refused");
    OutputCapture other;
    CHECK_EQ(downloadAttempt(url, "version.txt"), E_INVALIDARG);
    CHECK_EQ(downloadAttempt(url, "%s\\%s.txt"), E_INVALIDARG);
    CHECK_EQ(downloadAttempt(url, "%s\\%d.txt"), E_INVALIDARG);
    CHECK_EQ(other.outLines().size(), std::size_t(3));
}

// The version file's limit, on a body the lane serves: the 3 MiB package. URLDownloadToFileW
// stores all of it before the size can be seen, so the attempt removes it again.
void sizeLimit(const std::string &base)
{
    struct Row {
        const char *name;
        std::uint64_t limit;
        bool kept;
    };
    const Row rows[] = {
        {"a body over the limit fails and leaves no file", kMaxVersionFileBytes, false},
        {"the same body without a limit is stored", kNoBodyLimit, true},
        {"a limit the body fits", 4 * 1024 * 1024, true},
    };
    for (const Row &row : rows) {
        harness::beginCase(std::string("size limit: ") + row.name);
        const ScratchDirectory scratch("dl-limit");
        OutputCapture quiet;
        const HResult result = downloadAttempt(base + nembral_cases::kPackagePath, "%s\\version.txt", row.limit);
        quiet.stop();
        CHECK_EQ(static_cast<unsigned long>(result), row.kept ? 0UL : 0x800c000fUL);
        CHECK_EQ(fs::exists("version.txt"), row.kept);
        if (row.kept)
            CHECK_EQ(fs::file_size("version.txt"), fs::file_size(servedFile("nembral.zip")));
    }
}

// Bodies that never end or announce more than the limit: the transfer must stop at the limit
// rather than run on. The lane serves them from two more servers (NEMBRAL_HTTP_ENDLESS_BASE,
// NEMBRAL_HTTP_OVERSIZE_BASE). A download that does not stop is given up after a bound, so the
// case fails instead of hanging the lane.
void sizeLimitOnTheWire()
{
    const struct {
        const char *name;
        const char *baseVariable;
        bool announced;  // the size is in the headers, so the first notification shows it
    } rows[] = {
        {"an endless body stops at the limit, no file left", "NEMBRAL_HTTP_ENDLESS_BASE", false},
        {"a body announced over the limit stops, no file left", "NEMBRAL_HTTP_OVERSIZE_BASE", true},
    };
    for (const auto &row : rows) {
        harness::beginCase(std::string("size limit: ") + row.name);
        // wine tells the observer how much has come only now and then (once after tens of MiB
        // here, sooner or later with the machine's load), so whether an endless body is stopped
        // within any bound depends on the machine; Windows tells it every few KiB.
        if (!row.announced && testsupport::underWine()) {
            harness::report("   skipped: wine reports the progress of a body too seldom to bound the wait");
            continue;
        }
        const std::string base = environment(row.baseVariable);
        if (!CHECK_MSG(!base.empty(), std::string(row.baseVariable) + " is not set (scripts/test-windows.sh sets it)"))
            continue;
        const ScratchDirectory scratch("dl-wire");
        OutputCapture quiet;
        std::atomic<bool> done{false};
        std::atomic<HResult> result{S_OK};
        std::thread attempt([&] {
            result = downloadAttempt(base + nembral_cases::kVersionPath, "%s\\version.txt", kMaxVersionFileBytes);
            done = true;
        });
        const bool stopped = testsupport::waitUntil([&] { return done.load(); }, 60s);
        quiet.stop();
        if (!CHECK_MSG(stopped, "the download was still running after 60 s")) {
            // The attempt cannot be interrupted from here: end the program with what it found.
            harness::finish();
            std::fflush(stdout);
            std::_Exit(1);
        }
        attempt.join();
        CHECK_EQ(static_cast<unsigned long>(result.load()), 0x800c000fUL);
        CHECK(!fs::exists("version.txt"));
    }
}

// "nembral" is a link to a folder elsewhere: an installation moved there, whose package goes
// where it now lies; the link stays. wine 8 makes no links through the API, but shows a Unix
// link to a folder as a directory reparse point; the lane lays one out in NEMBRAL_LINK_FIXTURE
// (download-link/nembral -> outside/download-link).
void linkOnTheWay(const std::string &base)
{
    harness::beginCase("a link where the nembral folder should be: followed, the package lands where it points");
    const std::string fixture = environment("NEMBRAL_LINK_FIXTURE");
    if (fixture.empty()) {
        harness::report("   skipped: NEMBRAL_LINK_FIXTURE is not set (scripts/test-windows.sh sets it)");
        return;
    }
    const fs::path outside = fs::path(fixture) / "outside" / "download-link";
    const fs::path previous = fs::current_path();
    fs::current_path(fs::path(fixture) / "download-link");
    const DWORD attributes = GetFileAttributesW(L"nembral");
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        harness::report("   skipped: the fixture's link does not read back as a reparse point");
        fs::current_path(previous);
        return;
    }
    OutputCapture quiet;
    const HResult result = downloadAttempt(base + nembral_cases::kPackagePath, nembral_cases::kPackagePattern);
    quiet.stop();
    CHECK_EQ(static_cast<unsigned long>(result), 0UL);
    CHECK(fs::exists(outside / "nembral.zip") && fs::exists(outside / "keep.txt"));
    CHECK((GetFileAttributesW(L"nembral") & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
    fs::current_path(previous);
}

}  // namespace

int main()
{
    const std::string base = environment("NEMBRAL_HTTP_BASE");
    harness::beginCase("the loopback server is given");
    if (!CHECK_MSG(base.rfind("https://localhost:", 0) == 0 && !environment("NEMBRAL_HTTP_ROOT").empty(),
                   "set NEMBRAL_HTTP_BASE=https://localhost:PORT and NEMBRAL_HTTP_ROOT (scripts/test-windows.sh does)"))
        return harness::finish();
    setDownloadStallLimitSeconds(20);
    destinationLength(base);
    sizeLimit(base);
    sizeLimitOnTheWire();
    linkOnTheWay(base);
    return harness::finish();
}

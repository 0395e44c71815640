// downloadFile and one download attempt with the real URLDownloadToFileW, against the
// loopback vendor server over https (NEMBRAL_HTTP_BASE, files in NEMBRAL_HTTP_ROOT), whose CA
// the lane added to the wine prefix's root store.
//
// wine's URL moniker stores an error page (a 404 for instance) as a successful download, unlike
// Windows; the attempt fails on the status it is told through IHttpNegotiate all the same.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/downloadattempt.h"
#include "platform/downloadfile.h"
#include "platform/downloadstatus.h"
#include "testsupport_win.h"
#include "tests/platform/cases/download_cases.h"

using namespace std::chrono_literals;
using testsupport::OutputCapture;
using testsupport::ScratchDirectory;
namespace fs = std::filesystem;

// The window layer's side of downloadFile: here it only counts.
std::atomic<int> startApplicationRequests{0};
std::atomic<MainWindow *> startApplicationWindow{nullptr};

void requestStartApplication(MainWindow *window)
{
    startApplicationWindow.store(window);
    ++startApplicationRequests;
}

namespace {

MainWindow *const kWindow = reinterpret_cast<MainWindow *>(0x5eed);

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

void resetStatus()
{
    downloadStatus.versionFileDownloaded.store(false);
    downloadStatus.packageDownloaded.store(false);
    downloadStatus.downloadProgress.store(0);
    startApplicationRequests.store(0);
    startApplicationWindow.store(nullptr);
}

bool isNumber(const std::string &line)
{
    return !line.empty() && std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The observer's own lines other than percentages.
bool isStatusLine(const std::string &line)
{
    static const std::vector<std::string> known = {"Finding resource...", "Connecting...", "Sending request...",
                                                   "Mime type available", "Begin download", "Cache filename available",
                                                   "", "End download"};
    return std::find(known.begin(), known.end(), line) != known.end() || line.rfind("Status code : ", 0) == 0;
}

// Checks the log of one successful attempt: "CallbackHandler", the observer's notifications with
// rising percentages ending at 100, then the end of the download and the given final lines.
void checkSuccessLog(const std::vector<std::string> &lines, const std::vector<std::string> &finalLines)
{
    CHECK_MSG(!lines.empty() && lines.front() == "CallbackHandler", harness::describe(lines));
    const std::vector<std::string> tail = {"", "End download"};
    const std::size_t n = lines.size();
    CHECK_MSG(n >= 1 + tail.size() + finalLines.size(), harness::describe(lines));
    if (n < 1 + tail.size() + finalLines.size())
        return;
    CHECK_EQ(std::vector<std::string>(lines.end() - static_cast<long>(finalLines.size()), lines.end()), finalLines);
    const auto observerEnd = lines.end() - static_cast<long>(finalLines.size());
    CHECK_EQ(std::vector<std::string>(observerEnd - 2, observerEnd), tail);

    long last = 0;
    bool rising = true;
    bool onlyKnown = true;
    for (auto it = lines.begin() + 1; it != observerEnd; ++it) {
        if (isNumber(*it)) {
            const long percent = std::stol(*it);
            rising = rising && percent > last;
            last = percent;
        } else {
            onlyKnown = onlyKnown && isStatusLine(*it);
        }
    }
    CHECK_MSG(rising, harness::describe(lines));
    CHECK_MSG(onlyKnown, harness::describe(lines));
    CHECK_EQ(last, 100L);
    // Which notifications come, and when, is the download service's business ("Connecting..."
    // only for a new connection, for instance); the data ones must pass through to the log.
    CHECK_MSG(std::find(lines.begin(), lines.end(), "Begin download") < observerEnd - 2, harness::describe(lines));
}

std::string errorLineFor(std::uint32_t code)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(code));
    return std::string("An error occured : error code = 0x") + hex;
}

// The shared downloadFile cases that hold under wine (HTTP error statuses do not, see above).
void sharedCases(const std::string &base)
{
    using namespace nembral_cases;
    for (const DownloadFileCase &c : kDownloadFileCases) {
        if (c.linuxOnly)
            continue;
        harness::beginCase(std::string("downloadFile: ") + c.name);
        const ScratchDirectory scratch("dl-case");
        resetStatus();
        OutputCapture capture;
        downloadFile(kWindow, base + c.urlPath, c.pathPattern, 0);
        const auto lines = capture.outLines();
        CHECK_EQ(capture.errLines().size(), std::size_t(0));

        const long attempts = c.succeeds ? c.failedAttempts + 1 : 6;
        CHECK_EQ(std::count(lines.begin(), lines.end(), std::string("CallbackHandler")), attempts);
        CHECK_EQ(std::count(lines.begin(), lines.end(), errorLineFor(c.errorCode)),
                 static_cast<long>(c.failedAttempts));
        if (c.succeeds) {
            // The last attempt's part of the log: from its "CallbackHandler" to the end.
            const auto lastAttempt = std::find(lines.rbegin(), lines.rend(), std::string("CallbackHandler")).base() - 1;
            checkSuccessLog(std::vector<std::string>(lastAttempt, lines.end()),
                            {"Downloaded OK", c.flag == Flag::Version ? "version file downloaded!" : "nembral downloaded!"});
            CHECK_EQ(downloadStatus.downloadProgress.load(), 100);
        }
        CHECK_EQ(downloadStatus.versionFileDownloaded.load(), c.flag == Flag::Version);
        CHECK_EQ(downloadStatus.packageDownloaded.load(), c.flag == Flag::Package);
        CHECK_EQ(startApplicationRequests.load(), c.succeeds ? 0 : 1);
        CHECK_EQ(fs::exists(c.destination), c.succeeds);
        if (c.succeeds && c.flag == Flag::Version)
            CHECK_EQ(testsupport::readFile(c.destination), std::string(kVersionBody));
        if (c.succeeds && c.flag == Flag::Package && fs::exists(c.destination))
            CHECK_EQ(fs::file_size(c.destination), std::uintmax_t(kPackageSize));
    }
}

void newlyPublishedVersion(const std::string &base)
{
    harness::beginCase("a newly published version replaces the downloaded file");
    const ScratchDirectory scratch("dl-again");
    const std::string published = testsupport::readFile(servedFile("version.txt"));
    CHECK_EQ(published, std::string(nembral_cases::kVersionBody));
    testsupport::writeFile("version.txt", published);
    testsupport::writeFile(servedFile("version.txt"), "9.9.9-test\n");
    resetStatus();
    OutputCapture capture;
    downloadFile(kWindow, base + nembral_cases::kVersionPath, nembral_cases::kVersionPattern, 0);
    testsupport::writeFile(servedFile("version.txt"), published);
    checkSuccessLog(capture.outLines(), {"Downloaded OK", "version file downloaded!"});
    CHECK_EQ(testsupport::readFile("version.txt"), std::string("9.9.9-test\n"));
}

unsigned short closedLoopbackPort()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address);
    int length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr *>(&address), &length);
    closesocket(s);  // never listened on: connections are refused
    return ntohs(address.sin_port);
}

void sixFailures()
{
    harness::beginCase("connection refused: six attempts, six error lines, one pause each, then the window");
    const ScratchDirectory scratch("dl-refused");
    resetStatus();
    const std::string url = "http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/Software/Nembral/version.txt";
    OutputCapture capture;
    const auto start = std::chrono::steady_clock::now();
    downloadFile(kWindow, url, "%s\\version.txt", 0);
    const auto took = std::chrono::steady_clock::now() - start;
    const auto lines = capture.outLines();

    const std::regex errorLine("An error occured : error code = 0x[89a-f][0-9a-f]{7}");
    int handlers = 0;
    int errors = 0;
    bool alternate = true;  // each attempt: "CallbackHandler" ... error line
    std::string firstError;
    for (const std::string &line : lines) {
        if (line == "CallbackHandler") {
            alternate = alternate && handlers == errors;
            ++handlers;
        } else if (line.rfind("An error occured", 0) == 0) {
            CHECK_MSG(std::regex_match(line, errorLine), line);
            if (firstError.empty())
                firstError = line;
            CHECK_EQ(line, firstError);  // the same cause each time
            ++errors;
            alternate = alternate && handlers == errors;
        } else {
            CHECK_MSG(isStatusLine(line) || isNumber(line), line);
        }
    }
    if (!firstError.empty())
        harness::report("   refused connection: " + firstError);
    CHECK_EQ(handlers, 6);
    CHECK_EQ(errors, 6);
    CHECK_MSG(alternate, harness::describe(lines));
    CHECK(std::find(lines.begin(), lines.end(), "Downloaded OK") == lines.end());
    CHECK_MSG(took >= 6s, std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) + " ms");
    CHECK_EQ(startApplicationRequests.load(), 1);
    CHECK(startApplicationWindow.load() == kWindow);
    CHECK(!downloadStatus.versionFileDownloaded.load());
    CHECK(!downloadStatus.packageDownloaded.load());
    CHECK(!fs::exists("version.txt"));

    harness::beginCase("attempt 6 or more: no download, the window at once");
    for (int attempt : {6, 7, 1000}) {
        resetStatus();
        OutputCapture quiet;
        downloadFile(kWindow, url, "%s\\version.txt", attempt);
        CHECK_EQ(quiet.outLines().size(), std::size_t(0));
        CHECK_EQ(startApplicationRequests.load(), 1);
    }
}

void errorPage(const std::string &base)
{
    harness::beginCase("an error page is no download: 404 fails the attempt with 0x800c0005, no file left");
    const ScratchDirectory scratch("dl-404");
    OutputCapture capture;
    const HResult result = downloadAttempt(base + "/Software/Nembral/no-such-file.zip", "%s\\nembral.zip", kNoBodyLimit);
    CHECK_MSG(static_cast<std::uint32_t>(result) == 0x800C0005u, std::to_string(static_cast<std::uint32_t>(result)));
    CHECK(!fs::exists("nembral.zip"));
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
    sharedCases(base);
    newlyPublishedVersion(base);
    destinationLength(base);
    errorPage(base);
    sixFailures();
    sizeLimit(base);
    sizeLimitOnTheWire();
    linkOnTheWay(base);
    return harness::finish();
}

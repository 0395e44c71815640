#include "platform/downloadfile.h"

#include <charconv>
#include <cstdint>
#include <utility>

#include "platform/downloadattempt.h"
#include "platform/downloadstatus.h"
#include "platform/log.h"
#include "platform/sleep.h"

namespace {

constexpr int kLastAttempt = 5;
constexpr unsigned kPauseAfterFailureMs = 1000;

std::string errorLine(HResult result)
{
    char hex[8];
    const auto end = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(result), 16).ptr;
    // "occured" is the line users and their scripts have always read; kept on purpose.
    return std::string("An error occured : error code = 0x").append(hex, end);
}

}  // namespace

// The worker owns its copies of both strings, which the thread's callable hands over.
// NOLINTNEXTLINE(performance-unnecessary-value-param): by value on purpose, see above
void downloadFile(MainWindow *window, std::string url, std::string pathPattern, int attempt)
{
    downloadFileChecked(window, std::move(url), std::move(pathPattern), attempt, {}, kNoBodyLimit);
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): by value on purpose, see above
void downloadFileChecked(MainWindow *window, std::string url, std::string pathPattern, int attempt, DownloadCheck check,
                         std::uint64_t maxBodyBytes)
{
    // Attempts are numbered from `attempt` up to 5; each failure is logged and followed by a
    // pause before the next one. The flags are stored only after the attempt has returned, so
    // the file is complete and closed when the GUI thread sees them.
    // The URL tells the version file from the package, as for the flags below; only the
    // version file has a size limit (packages are large, and are never held in memory).
    const bool versionFile = url.find("version") != std::string::npos;
    for (; attempt <= kLastAttempt; ++attempt) {
        HResult result = downloadAttempt(url, pathPattern, versionFile ? kMaxVersionFileBytes : maxBodyBytes);
        if (result >= 0 && check)
            result = check();
        if (result >= 0) {
            logLine("Downloaded OK");
            if (versionFile) {
                logLine("version file downloaded!");
                downloadStatus.versionFileDownloaded.store(true, std::memory_order_release);
            } else if (url.find("nembral") != std::string::npos) {
                logLine("nembral downloaded!");
                downloadStatus.packageDownloaded.store(true, std::memory_order_release);
            }
            return;
        }
        logLine(errorLine(result));
        sleepMilliseconds(kPauseAfterFailureMs);
    }
    requestStartApplication(window);
}

#include "workflow/releasetrust.h"

#include "platform/downloadattempt.h"
#include "platform/log.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>

namespace {

// The version download stores at most 64 KiB; one byte more tells a file that was cut.
constexpr std::size_t kMaxVersionFileRead = 64 * 1024 + 1;

// The file's first bytes, up to the bound; nothing when it cannot be read.
std::optional<std::string> readSmallFile(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return std::nullopt;
    std::string bytes(kMaxVersionFileRead, '\0');
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    const bool read = std::ferror(file) == 0;
    (void)std::fclose(file);
    if (!read)
        return std::nullopt;
    return bytes;
}

}  // namespace

ReleaseTrust::ReleaseTrust(std::vector<std::string> publicKeysPem)
    : keys_(std::move(publicKeysPem))
{
}

HResult ReleaseTrust::checkVersionFile(const std::string &path)
{
    const std::optional<std::string> bytes = readSmallFile(path);
    if (!bytes) {
        logLine("release statement refused: cannot read the downloaded version file");
        return kReleaseStatementRefused;
    }
    const std::uint64_t highest = readHighestSequence(kReleaseSequenceFile);
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const Result<ReleaseStatement> check = checkReleaseStatement(*bytes, keys_, now, highest);
    if (!check) {
        // The reason may quote nothing from the file but numbers and times of our own making.
        logLine("release statement refused: " + escapedForLog(check.failure().text));
        // Nothing refused stays where the next step would read it.
        (void)std::remove(path.c_str());
        return kReleaseStatementRefused;
    }
    const ReleaseStatement &statement = check.value();
    logLine("release statement accepted: sequence " + std::to_string(statement.sequence) + ", package "
            + std::to_string(statement.packageSize) + " bytes, valid until " + utcTimeText(statement.expires));
    if (statement.sequence > highest) {
        // A failure here loses the rollback guard for later runs, not this run's trust.
        if (const Result<> stored = storeHighestSequence(kReleaseSequenceFile, statement.sequence); !stored)
            logErrorLine("cannot remember the release sequence: " + stored.failure().text);
    }
    accepted_ = statement;
    return kSOk;
}

HResult ReleaseTrust::checkPackage(const std::string &path) const
{
    if (!accepted_) {
        logLine("package refused: no release statement was accepted in this run");
        return kReleasePackageMismatch;
    }
    if (const Result<> matches = packageMatches(path, *accepted_); !matches) {
        logLine("package refused: " + escapedForLog(matches.failure().text));
        (void)std::remove(path.c_str());
        return kReleasePackageMismatch;
    }
    logLine("package matches the release statement");
    return kSOk;
}

std::uint64_t ReleaseTrust::packageSize() const
{
    return accepted_ ? accepted_->packageSize : kNoBodyLimit;
}

DownloadCheck versionFileCheck(const std::shared_ptr<ReleaseTrust> &trust, std::string path)
{
    if (!trust)
        return {};
    return [trust, path = std::move(path)] { return trust->checkVersionFile(path); };
}

DownloadCheck packageCheck(const std::shared_ptr<ReleaseTrust> &trust, std::string path)
{
    if (!trust)
        return {};
    return [trust, path = std::move(path)] { return trust->checkPackage(path); };
}

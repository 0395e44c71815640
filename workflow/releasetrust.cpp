#include "workflow/releasetrust.h"

#include "platform/downloadattempt.h"
#include "platform/log.h"

#include <chrono>
#include <cstdio>
#include <utility>

namespace {

// The version download stores at most 64 KiB; one byte more tells a file that was cut.
constexpr std::size_t kMaxVersionFileRead = 64 * 1024 + 1;

std::string readSmallFile(const std::string &path, bool &ok)
{
    std::string bytes;
    ok = false;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return bytes;
    bytes.resize(kMaxVersionFileRead);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    ok = std::ferror(file) == 0;
    (void)std::fclose(file);
    return bytes;
}

}  // namespace

ReleaseTrust::ReleaseTrust(std::vector<std::string> publicKeysPem)
    : keys_(std::move(publicKeysPem))
{
}

HResult ReleaseTrust::checkVersionFile(const std::string &path)
{
    bool read = false;
    const std::string bytes = readSmallFile(path, read);
    if (!read) {
        logLine("release statement refused: cannot read the downloaded version file");
        return kReleaseStatementRefused;
    }
    const std::uint64_t highest = readHighestSequence(kReleaseSequenceFile);
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const ReleaseStatementCheck check = checkReleaseStatement(bytes, keys_, now, highest);
    if (!check.accepted) {
        // The reason may quote nothing from the file but numbers and times of our own making.
        logLine("release statement refused: " + escapedForLog(check.problem));
        // Nothing refused stays where the next step would read it.
        (void)std::remove(path.c_str());
        return kReleaseStatementRefused;
    }
    const ReleaseStatement &statement = *check.accepted;
    logLine("release statement accepted: sequence " + std::to_string(statement.sequence) + ", package "
            + std::to_string(statement.packageSize) + " bytes, valid until " + utcTimeText(statement.expires));
    if (statement.sequence > highest) {
        // A failure here loses the rollback guard for later runs, not this run's trust.
        if (const std::string error = storeHighestSequence(kReleaseSequenceFile, statement.sequence); !error.empty())
            logErrorLine("cannot remember the release sequence: " + error);
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
    if (const std::string problem = packageMismatch(path, *accepted_); !problem.empty()) {
        logLine("package refused: " + escapedForLog(problem));
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

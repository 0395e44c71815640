#pragma once

#include "platform/downloadfile.h"
#include "workflow/releasestatement.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// What a launcher built with the vendor's package key trusts in one run: the release statement
// it accepted after the version download, against which the package is checked after its
// download. Each check runs on a download worker as part of an attempt (platform/downloadfile.h):
// a refusal logs one line saying why, removes the refused file and fails the attempt with its
// own code, so it is retried
// like any failed download, and after the sixth the installed application starts as it is.
//
// The version worker writes the accepted statement before it announces the version file; the
// package worker, started by the GUI thread after that, only reads it.
class ReleaseTrust {
public:
    explicit ReleaseTrust(std::vector<std::string> publicKeysPem);

    // The statement on line 2 of the downloaded version file at `path`: on acceptance its
    // sequence is remembered in the working folder (kReleaseSequenceFile) when it is higher
    // than any before, and the statement is kept for the package check.
    HResult checkVersionFile(const std::string &path);
    // The downloaded package at `path` against the accepted statement's size and SHA-256.
    HResult checkPackage(const std::string &path) const;
    // The accepted statement's package size: the package download takes no more. kNoBodyLimit
    // before a statement is accepted.
    std::uint64_t packageSize() const;

private:
    std::vector<std::string> keys_;
    std::optional<ReleaseStatement> accepted_;
};

// Where the highest accepted sequence is kept: beside the installed tree, so that wiping the
// tree for an installation keeps it.
inline constexpr char kReleaseSequenceFile[] = "nembral/release-sequence";

// The codes of the two refusals on the "An error occured" line: the Windows trust provider's
// "subject not trusted" for a statement, and its "bad digest" for a package that does not match.
inline constexpr HResult kReleaseStatementRefused = static_cast<HResult>(0x800B0004u);
inline constexpr HResult kReleasePackageMismatch = static_cast<HResult>(0x80096010u);

// The checks handed to the download workers; empty (no check, the key-less behaviour) when
// `trust` is null.
DownloadCheck versionFileCheck(const std::shared_ptr<ReleaseTrust> &trust, std::string path);
DownloadCheck packageCheck(const std::shared_ptr<ReleaseTrust> &trust, std::string path);

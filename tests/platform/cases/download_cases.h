#pragma once

// Cases for downloadFile against the local vendor server (tools/vendor-server), shared by the
// Qt tests on Linux and under wine. `serverOptions` are extra vendor-server options;
// the served folder holds version.txt with kVersionBody and a package of kPackageSize bytes.
// The observer's own lines differ between download services, so a case states only what
// downloadFile itself guarantees: one "CallbackHandler" per attempt, the error lines with their
// code, "Downloaded OK" and the keyword line, the flag, the file.

#include <cstdint>

#include "platform/downloadresult.h"

namespace nembral_cases {

inline constexpr char kVersionBody[] = "1.4.2\r\n";
inline constexpr std::uint32_t kPackageSize = 3 * 1024 * 1024 + 17;

enum class Flag { None,
                  Version,
                  Package };

struct DownloadFileCase {
    const char *name;
    const char *serverOptions;  // space-separated, may be empty
    const char *urlPath;
    const char *pathPattern;
    int failedAttempts;  // error lines before the end
    HResult errorCode;   // the code on each error line
    bool succeeds;       // false: six failures, then startApplication is requested
    Flag flag;
    const char *destination;  // relative to the working directory; present exactly on success
};

inline constexpr char kVersionPath[] = "/Software/Nembral/version.txt";
inline constexpr char kPackagePath[] = "/Software/Nembral/nembral.zip";
inline constexpr char kVersionPattern[] = "%s\\version.txt";
inline constexpr char kPackagePattern[] = "%s\\nembral\\nembral.zip";

inline constexpr DownloadFileCase kDownloadFileCases[] = {
    {"version file, first attempt", "", kVersionPath, kVersionPattern, 0, 0, true, Flag::Version, "version.txt"},
    {"package into a missing nembral directory", "", kPackagePath, kPackagePattern, 0, 0, true, Flag::Package,
     "nembral/nembral.zip"},
    {"success on the third attempt", "--status 503 --faulty-requests 2", kVersionPath, kVersionPattern, 2,
     kInetDownloadFailure, true, Flag::Version, "version.txt"},
    {"404 six times", "--status 404", kVersionPath, kVersionPattern, 6, kInetResourceNotFound, false, Flag::None,
     "version.txt"},
};

}  // namespace nembral_cases

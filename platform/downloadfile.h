#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/callbackhandler.h"
#include "platform/linkseams.h"

class MainWindow;

// Body of a download worker thread: fetches `url` into the path made from `pathPattern`
// ("%s" = working directory, "\" = separator), up to six attempts (0..5) with a 1000 ms pause
// after each failure. Success sets the matching DownloadStatus flag ("version" in the URL
// first, then "nembral"); after the last failure the window's startApplication is requested.
void downloadFile(MainWindow *window, std::string url, std::string pathPattern, int attempt);

// A check of the downloaded file, run after each attempt that the download service reports as a
// success and before that success is logged or announced. A negative result fails the attempt
// with that code, as a failed download would (the error line, the pause, the next attempt); the
// check logs its own reason first. Launchers built with the vendor's key check the version file's
// release statement and the package against it (workflow/releasetrust.h); without a key there is
// no check and downloadFile is what runs.
// With a `maxBodyBytes` other than kNoBodyLimit (platform/downloadattempt.h), a longer package
// body fails the attempt as the version file's limit does: a package whose size is known
// cannot fill the disk.
using DownloadCheck = std::function<HResult()>;
void downloadFileChecked(MainWindow *window, std::string url, std::string pathPattern, int attempt, DownloadCheck check,
                         std::uint64_t maxBodyBytes);

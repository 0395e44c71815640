#pragma once

#include <atomic>
#include <cstdint>

// Written by the download worker, polled by the GUI timers. The flags go from false to true
// once, with release ordering, only after the file they announce is complete and closed;
// readers load them with acquire ordering so a reader that sees a flag also sees the file.
struct DownloadStatus {
    std::atomic<bool> versionFileDownloaded{false};
    std::atomic<bool> packageDownloaded{false};
    std::atomic<std::int32_t> downloadProgress{0};  // last percentage reported, not clamped
};

extern DownloadStatus downloadStatus;

#pragma once

#include <cstdint>
#include <string>

#include "platform/callbackhandler.h"

// One download attempt, the platform-specific middle of downloadFile: puts the working
// directory into `pathPattern` to get the destination, drops any cached copy of `url`,
// creates a fresh observer, logs "CallbackHandler" and fetches `url` into the destination.
// Returns the download service's result: negative on failure, zero or positive on success.
//
// With a `maxBodyBytes` other than kNoBodyLimit, a body longer than that (or announced so)
// fails the attempt with INET_E_CANNOT_LOAD_DATA and leaves no file.
inline constexpr std::uint64_t kNoBodyLimit = 0;
HResult downloadAttempt(const std::string &url, const std::string &pathPattern,
                        std::uint64_t maxBodyBytes = kNoBodyLimit);

// The version file is one short line; a server that sends more (without end, say) must not
// fill the disk, the memory or the log.
inline constexpr std::uint64_t kMaxVersionFileBytes = 64 * 1024;

// How long a transfer may go without receiving any data before the attempt fails with
// 0x800C000B (connection time-out). 60 s unless changed; tests use a short limit. The same
// limit bounds establishing the connection.
void setDownloadStallLimitSeconds(long seconds);

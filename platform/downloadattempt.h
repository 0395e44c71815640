#pragma once

#include <string>

#include "platform/callbackhandler.h"

// One download attempt, the platform-specific middle of downloadFile: puts the working
// directory into `pathPattern` to get the destination, drops any cached copy of `url`,
// creates a fresh observer, logs "CallbackHandler" and fetches `url` into the destination.
// Returns the download service's result: negative on failure, zero or positive on success.
HResult downloadAttempt(const std::string &url, const std::string &pathPattern);

// How long a transfer may go without receiving any data before the attempt fails with
// 0x800C000B (connection time-out). 60 s unless changed; tests use a short limit. The same
// limit bounds establishing the connection.
void setDownloadStallLimitSeconds(long seconds);

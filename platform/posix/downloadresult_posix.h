#pragma once

#include <curl/curl.h>

#include "platform/downloadresult.h"

// The result code of a failed attempt, by what went wrong (the causes of kDownloadResultCauses).

// A local file operation failed with `error`.
HResult resultFromErrno(int error);
// libcurl failed the transfer with `code`.
HResult resultFromCurl(CURLcode code);

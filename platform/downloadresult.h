#pragma once

#include "platform/callbackhandler.h"

// The result codes of a failed download attempt: the Windows URL download service's HRESULTs,
// which the Linux download service returns for the same causes. downloadFile logs them as "0x"
// and lowercase hexadecimal.

constexpr HResult hresultFromBits(std::uint32_t bits)
{
    return static_cast<HResult>(bits);
}

inline constexpr HResult kInetInvalidUrl = hresultFromBits(0x800C0002);
inline constexpr HResult kInetCannotConnect = hresultFromBits(0x800C0004);
inline constexpr HResult kInetResourceNotFound = hresultFromBits(0x800C0005);
inline constexpr HResult kInetDownloadFailure = hresultFromBits(0x800C0008);
inline constexpr HResult kInetAuthenticationRequired = hresultFromBits(0x800C0009);
inline constexpr HResult kInetConnectionTimeout = hresultFromBits(0x800C000B);
inline constexpr HResult kInetUnknownProtocol = hresultFromBits(0x800C000D);
inline constexpr HResult kInetSecurityProblem = hresultFromBits(0x800C000E);
inline constexpr HResult kInetCannotLoadData = hresultFromBits(0x800C000F);
inline constexpr HResult kInetRedirectFailed = hresultFromBits(0x800C0014);
inline constexpr HResult kPathNotFound = hresultFromBits(0x80070003);  // HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
inline constexpr HResult kAccessDenied = hresultFromBits(0x80070005);
inline constexpr HResult kOutOfMemory = hresultFromBits(0x8007000E);
inline constexpr HResult kDiskFull = hresultFromBits(0x80070070);  // HRESULT_FROM_WIN32(ERROR_DISK_FULL)

// The code of an attempt the server answered with an error status (400 and above), on every
// system.
constexpr HResult resultFromHttpStatus(long status)
{
    switch (status) {
    case 404:
    case 410:
        return kInetResourceNotFound;
    case 401:
    case 407:
        return kInetAuthenticationRequired;
    default:
        return kInetDownloadFailure;
    }
}

// Which cause gives which code on Linux (downloadresult_posix.cpp decides it), in the words and
// order of the table in docs/download-service.md. This is the one place for that table: a test
// compares the document with it row by row, and the download tests take the code they expect
// for a cause from here.
struct DownloadResultCause {
    const char *cause;
    HResult code;
    const char *name;  // the code's Windows name
};

inline constexpr DownloadResultCause kDownloadResultCauses[] = {
    {"malformed URL", kInetInvalidUrl, "INET_E_INVALID_URL"},
    {"connection refused / unreachable", kInetCannotConnect, "INET_E_CANNOT_CONNECT"},
    {"host or proxy not resolved; HTTP 404, 410", kInetResourceNotFound, "INET_E_RESOURCE_NOT_FOUND"},
    {"catch-all: cut or truncated body, send/receive errors, other HTTP status >= 400, other libcurl failures",
     kInetDownloadFailure, "INET_E_DOWNLOAD_FAILURE"},
    {"HTTP 401, 407", kInetAuthenticationRequired, "INET_E_AUTHENTICATION_REQUIRED"},
    {"nothing received for the stall limit (60 s), connection not made within it", kInetConnectionTimeout,
     "INET_E_CONNECTION_TIMEOUT"},
    {"scheme other than http/https; redirect to a refused scheme (an https download to plain http included)",
     kInetUnknownProtocol, "INET_E_UNKNOWN_PROTOCOL"},
    {"TLS handshake failure, untrusted or mismatched certificate, unreadable CA bundle", kInetSecurityProblem,
     "INET_E_SECURITY_PROBLEM"},
    {"version file larger than 64 KiB, received or announced", kInetCannotLoadData, "INET_E_CANNOT_LOAD_DATA"},
    {"more than 10 redirects; a 3xx answer without a Location", kInetRedirectFailed, "INET_E_REDIRECT_FAILED"},
    {"working directory unavailable; destination directory cannot be made (a file on the way, a link to nowhere)",
     kPathNotFound, "HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)"},
    {"destination not writable", kAccessDenied, "E_ACCESSDENIED"},
    {"disk or quota full", kDiskFull, "HRESULT_FROM_WIN32(ERROR_DISK_FULL)"},
    {"out of memory", kOutOfMemory, "E_OUTOFMEMORY"},
    {"other local write/close/rename failures", kInetDownloadFailure, "INET_E_DOWNLOAD_FAILURE"},
};

#include "platform/downloadattempt.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "platform/log.h"
#include "platform/posix/downloadresult_posix.h"
#include "platform/posix/partfile_posix.h"

// The download service on POSIX systems, in place of the Windows URL moniker: libcurl fetches
// the URL and this file turns its course into the observer's bind-status notifications and its
// outcome into the result codes the Windows service returns. docs/download-service.md tells
// which notifications come when; kDownloadResultCauses (platform/downloadresult.h) which code
// each failure gives. The body goes to a PartFile, which takes the destination's place only
// once the transfer has succeeded.

namespace {

constexpr std::uint32_t kBindStatusRedirecting = 3;

// Bytes per write to the part file, chosen by measurement (docs/benchmarks.md, "Download"):
// on a 2-core VM, gathering the body into 64 KiB writes beat the curl command (whose stdio
// stream writes each 16 KiB piece as 4 + 12 KiB) in every quiet round, with about two thirds of
// its kernel time; 128 KiB did no better, writing each piece straight from libcurl's buffer no
// better than curl, and 1 MiB writes took two to three times the kernel time of 64 KiB ones.
// 0 writes each piece straight from libcurl's buffer. Benchmark builds set
// NEMBRAL_BENCH_WRITE_SIZE to compare sizes (bench/CMakeLists.txt); the launcher never does.
#ifdef NEMBRAL_BENCH_WRITE_SIZE
constexpr std::size_t kWriteSize = NEMBRAL_BENCH_WRITE_SIZE;
#else
constexpr std::size_t kWriteSize = 64 * 1024;
#endif
constexpr long kReceiveBufferSize = 512 * 1024;  // libcurl's receive buffer
constexpr long kMaxRedirects = 10;

std::atomic<long> stallLimitSeconds{60};

// Where a download goes: `relative` below the folder `base`, which is the working directory
// put into the pattern. Backslashes in the pattern are the Windows separator and become "/"
// before the directory goes in, so a directory whose name happens to hold a backslash keeps
// it. What follows the working directory comes from the pattern, and is where the part file
// follows no link.
struct Destination {
    std::string base;
    std::string relative;
};

// Empty when the working directory cannot be had (removed under us, for example): "%s" must
// never become "" and send the file to the root directory.
std::optional<Destination> destinationFor(const std::string &pathPattern)
{
    std::string path = pathPattern;
    for (char &c : path) {
        if (c == '\\')
            c = '/';
    }
    std::error_code ec;
    const std::string directory = std::filesystem::current_path(ec).string();
    if (ec || directory.empty())
        return std::nullopt;
    const std::size_t slot = path.find("%s");
    if (slot == std::string::npos)
        return Destination{path.rfind('/', 0) == 0 ? "/" : ".", path};
    const std::size_t rest = path.find_first_not_of('/', slot + 2);
    return Destination{path.substr(0, slot) + directory, rest == std::string::npos ? std::string() : path.substr(rest)};
}

struct CurlDeleter {
    void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

struct Transfer {
    CURL *curl = nullptr;
    CallbackHandler *observer = nullptr;
    PartFile *file = nullptr;
    std::unique_ptr<char[]> buffer;
    std::size_t buffered = 0;
    std::uint64_t received = 0;
    std::int64_t contentLength = -1;
    bool connectingReported = false;
    bool locationSeen = false;
    bool storing = false;  // the body being received is the file asked for (a 2xx answer)
    std::uint64_t maxBody = kNoBodyLimit;
    std::uint64_t responseBody = 0;  // bytes of the current answer's body, kept or not
    bool tooLarge = false;
    int fileError = 0;
    std::chrono::steady_clock::duration stallLimit{};
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    bool stalled = false;

    void active() { lastActivity = std::chrono::steady_clock::now(); }

    // Bytes against the announced size, halved together until both fit the observer's
    // 32-bit arguments, so percentages stay right for files beyond 4 GiB.
    void notify(std::uint32_t status) const
    {
        std::uint64_t progress = received;
        std::uint64_t maximum = contentLength > 0 ? static_cast<std::uint64_t>(contentLength) : 0;
        while (progress > UINT32_MAX || maximum > UINT32_MAX) {
            progress >>= 1;
            maximum >>= 1;
        }
        observer->OnProgress(static_cast<std::uint32_t>(progress), static_cast<std::uint32_t>(maximum), status,
                             nullptr);
    }

    bool flush()
    {
        if (buffered == 0)
            return true;
        fileError = file->write(buffer.get(), buffered);
        buffered = 0;
        return fileError == 0;
    }

    // Appends a piece of the body to the part file. libcurl hands the body over in pieces of
    // at most 16 KiB (CURL_MAX_WRITE_SIZE), so they are gathered into writes of kWriteSize.
    bool store(const char *data, std::size_t length)
    {
        if constexpr (kWriteSize == 0) {
            fileError = file->write(data, length);
            return fileError == 0;
        }
        while (length > 0) {
            const std::size_t piece = std::min(kWriteSize - buffered, length);
            std::memcpy(buffer.get() + buffered, data, piece);
            buffered += piece;
            data += piece;
            length -= piece;
            if (buffered == kWriteSize && !flush())
                return false;
        }
        return true;
    }
};

int onSocketOpened(void *clientp, curl_socket_t, curlsocktype purpose)
{
    auto *transfer = static_cast<Transfer *>(clientp);
    // Once per connection, however many addresses are tried for it.
    if (purpose == CURLSOCKTYPE_IPCXN && !transfer->connectingReported) {
        transfer->connectingReported = true;
        transfer->observer->OnProgress(0, 0, kBindStatusConnecting, nullptr);
    }
    return CURL_SOCKOPT_OK;
}

int onRequestReady(void *clientp, char *, char *, int, int)
{
    auto *transfer = static_cast<Transfer *>(clientp);
    transfer->connectingReported = false;
    transfer->active();
    transfer->observer->OnProgress(0, 0, kBindStatusSendingRequest, nullptr);
    return CURL_PREREQFUNC_OK;
}

std::size_t onHeader(char *data, std::size_t size, std::size_t count, void *userdata)
{
    auto *transfer = static_cast<Transfer *>(userdata);
    const std::size_t length = size * count;
    transfer->active();
    const bool endOfHeaders = (length == 2 && data[0] == '\r' && data[1] == '\n') || (length == 1 && data[0] == '\n');
    if (!endOfHeaders) {
        if (length > 5 && std::memcmp(data, "HTTP/", 5) == 0) {
            transfer->locationSeen = false;  // status line: a new response begins
            transfer->storing = false;
            transfer->responseBody = 0;
        } else if (length > 9 && strncasecmp(data, "location:", 9) == 0)
            transfer->locationSeen = true;
        return length;
    }

    long status = 0;
    curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300 && status < 400) {
        // Reported for a redirect to follow: one with a Location, within the bound. libcurl
        // checks the scheme of the Location afterwards.
        long followed = 0;
        curl_easy_getinfo(transfer->curl, CURLINFO_REDIRECT_COUNT, &followed);
        if (transfer->locationSeen && status != 304 && status != 300 && followed < kMaxRedirects)
            transfer->observer->OnProgress(0, 0, kBindStatusRedirecting, nullptr);
    } else if (status >= 200 && status < 300) {
        curl_off_t length = -1;
        curl_easy_getinfo(transfer->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        // Refused before a byte of the body is taken.
        if (transfer->maxBody != kNoBodyLimit && length > 0 && std::uint64_t(length) > transfer->maxBody) {
            transfer->tooLarge = true;
            return 0;
        }
        transfer->contentLength = length;
        transfer->received = 0;
        transfer->storing = true;
        transfer->observer->OnProgress(0, 0, kBindStatusMimeTypeAvailable, nullptr);
        transfer->notify(kBindStatusBeginDownloadData);
    }
    // 1xx interim responses and error statuses report nothing here; libcurl fails the
    // transfer on an error status before any of its body is stored.
    return length;
}

std::size_t onBody(char *data, std::size_t size, std::size_t count, void *userdata)
{
    auto *transfer = static_cast<Transfer *>(userdata);
    const std::size_t length = size * count;
    transfer->active();
    // Any body counts against the limit, also one that is not kept: a redirect's body without
    // end would hold the attempt for ever.
    transfer->responseBody += length;
    if (transfer->maxBody != kNoBodyLimit && transfer->responseBody > transfer->maxBody) {
        transfer->tooLarge = true;
        return 0;
    }
    if (!transfer->storing)
        return length;  // the body of a redirect that leads nowhere: not ours to keep
    if ((transfer->fileError = transfer->file->open()) != 0)
        return 0;
    if (!transfer->store(data, length))
        return 0;
    transfer->received += length;
    transfer->notify(kBindStatusDownloadingData);
    return length;
}

// Called by libcurl often while data flows and about once a second while nothing does. A
// transfer that has received nothing (no header, no body byte) for the stall limit is given up.
int onTick(void *clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto *transfer = static_cast<Transfer *>(clientp);
    if (std::chrono::steady_clock::now() - transfer->lastActivity >= transfer->stallLimit) {
        transfer->stalled = true;
        return 1;
    }
    return 0;
}

// The transfer's settings: http and https only, verified TLS, bounded redirects, the stall
// limit, and the callbacks that report to `transfer`.
void configure(CURL *c, const std::string &url, curl_slist *headers, Transfer &transfer, long stall)
{
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // Following redirects never downgrades an https download to plain http.
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, url.rfind("https:", 0) == 0 ? "https" : "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, stall);
    transfer.stallLimit = std::chrono::seconds(stall);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onTick);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    // OpenSSL's convention: SSL_CERT_FILE names the CA bundle to trust instead of the system's.
    if (const char *bundle = std::getenv("SSL_CERT_FILE"); bundle != nullptr && *bundle != '\0') {
        curl_easy_setopt(c, CURLOPT_CAINFO, bundle);
        curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(c, CURLOPT_USERAGENT, "NembralLauncher/1.0");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_SOCKOPTFUNCTION, onSocketOpened);
    curl_easy_setopt(c, CURLOPT_SOCKOPTDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, onRequestReady);
    curl_easy_setopt(c, CURLOPT_PREREQDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
}

void initialiseCurlOnce()
{
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    (void)initialised;
}

}  // namespace

void setDownloadStallLimitSeconds(long seconds)
{
    stallLimitSeconds.store(seconds > 0 ? seconds : 1);
}

HResult downloadAttempt(const std::string &url, const std::string &pathPattern, std::uint64_t maxBodyBytes)
{
    initialiseCurlOnce();
    const std::optional<Destination> destination = destinationFor(pathPattern);
    if (!destination) {
        logLine("Cannot use the working directory as download destination: it is unavailable.");
        return kPathNotFound;
    }

    // libcurl keeps no cache, so there is no cached copy of the URL to drop; the request asks
    // proxies on the way not to answer from theirs either.
    CallbackHandler observer;
    logLine("CallbackHandler");

    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl)
        return kOutOfMemory;
    std::unique_ptr<curl_slist, SlistDeleter> headers(
        curl_slist_append(curl_slist_append(nullptr, "Cache-Control: no-cache"), "Pragma: no-cache"));

    PartFile file(destination->base, destination->relative);
    Transfer transfer;
    transfer.maxBody = maxBodyBytes;
    transfer.curl = curl.get();
    transfer.observer = &observer;
    transfer.file = &file;
    if (kWriteSize > 0) {
        transfer.buffer.reset(new (std::nothrow) char[kWriteSize]);
        if (!transfer.buffer)
            return kOutOfMemory;
    }

    CURL *c = curl.get();
    configure(c, url, headers.get(), transfer, stallLimitSeconds.load());

    observer.OnProgress(0, 0, kBindStatusFindingResource, nullptr);
    transfer.active();
    const CURLcode code = curl_easy_perform(c);

    if (code == CURLE_ABORTED_BY_CALLBACK && transfer.stalled)
        return kInetConnectionTimeout;
    if (code == CURLE_WRITE_ERROR && transfer.tooLarge)
        return kInetCannotLoadData;
    if (code == CURLE_HTTP_RETURNED_ERROR) {
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        return resultFromHttpStatus(status);
    }
    if (code == CURLE_WRITE_ERROR && transfer.fileError != 0)
        return resultFromErrno(transfer.fileError);
    if (code != CURLE_OK)
        return resultFromCurl(code);
    // libcurl stops at a redirect it cannot follow (no Location) without calling it an
    // error; only a 2xx answer is the file that was asked for.
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299)
        return status >= 300 && status < 400 ? kInetRedirectFailed : kInetDownloadFailure;

    // Complete: an empty body still makes an (empty) file, then everything goes into place.
    if (int error = file.open(); error != 0)
        return resultFromErrno(error);
    if (!transfer.flush())
        return resultFromErrno(transfer.fileError);
    if (int error = file.commit(); error != 0)
        return resultFromErrno(error);
    transfer.notify(kBindStatusEndDownloadData);
    return kSOk;
}

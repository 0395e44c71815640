#include "platform/downloadattempt.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "platform/log.h"

// The download service on POSIX systems, in place of the Windows URL moniker: libcurl fetches
// the URL and this file turns its course into the observer's bind-status notifications and its
// outcome into the result codes the Windows service returns.
//
// Result codes (negative HRESULTs; downloadFile logs them as "0x" + lowercase hex):
//
//   cause                                                        code        name
//   ------------------------------------------------------------ ----------  -------------------------------
//   malformed URL                                                0x800c0002  INET_E_INVALID_URL
//   connection refused / host unreachable                        0x800c0004  INET_E_CANNOT_CONNECT
//   host or proxy name not resolved; HTTP 404, 410               0x800c0005  INET_E_RESOURCE_NOT_FOUND
//   catch-all: cut or truncated body, receive/send errors, any
//     other HTTP status >= 400, other libcurl failures           0x800c0008  INET_E_DOWNLOAD_FAILURE
//   HTTP 401, 407                                                0x800c0009  INET_E_AUTHENTICATION_REQUIRED
//   no data for the stall limit, connection not made in time     0x800c000b  INET_E_CONNECTION_TIMEOUT
//   scheme other than http/https                                 0x800c000d  INET_E_UNKNOWN_PROTOCOL
//   TLS: handshake failure, untrusted or mismatched certificate,
//     unreadable CA bundle                                       0x800c000e  INET_E_SECURITY_PROBLEM
//   too many redirects, redirect to a refused scheme             0x800c0014  INET_E_REDIRECT_FAILED
//   destination directory cannot be made (missing/not a dir)     0x80070003  HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
//   destination not writable (permission, read-only file system) 0x80070005  E_ACCESSDENIED
//   destination disk or quota full                               0x80070070  HRESULT_FROM_WIN32(ERROR_DISK_FULL)
//   out of memory                                                0x8007000e  E_OUTOFMEMORY
//   other local write, close or rename failures                  0x800c0008  INET_E_DOWNLOAD_FAILURE
//
// Notifications, in the order a transfer goes through them: 1 finding resource (before the
// name is resolved), 2 connecting (once per new connection), 11 sending request (connection
// ready, request about to go out), 3 redirecting (a redirect that will be followed; the next
// request then reports 11 again), 13 MIME type available and 4 begin download (headers of the
// final response in), 5 downloading data (each piece of body received), 6 end download (the
// file complete and in place). Progress is in bytes against the announced Content-Length
// (0 when none is announced), scaled down together when the size does not fit 32 bits.
//
// The body goes to a temporary file beside the destination, which replaces the destination
// only once the transfer has succeeded: a failed, cut or stalled download never leaves a file
// that looks complete, nor harms an earlier copy.

namespace {

constexpr std::uint32_t kBindStatusRedirecting = 3;

constexpr HResult hr(std::uint32_t value)
{
    return static_cast<HResult>(value);
}

constexpr HResult kInetInvalidUrl = hr(0x800C0002);
constexpr HResult kInetCannotConnect = hr(0x800C0004);
constexpr HResult kInetResourceNotFound = hr(0x800C0005);
constexpr HResult kInetDownloadFailure = hr(0x800C0008);
constexpr HResult kInetAuthenticationRequired = hr(0x800C0009);
constexpr HResult kInetConnectionTimeout = hr(0x800C000B);
constexpr HResult kInetUnknownProtocol = hr(0x800C000D);
constexpr HResult kInetSecurityProblem = hr(0x800C000E);
constexpr HResult kInetRedirectFailed = hr(0x800C0014);
constexpr HResult kPathNotFound = hr(0x80070003);
constexpr HResult kAccessDenied = hr(0x80070005);
constexpr HResult kDiskFull = hr(0x80070070);
constexpr HResult kOutOfMemory = hr(0x8007000E);

constexpr std::size_t kWriteBufferSize = 1 << 20;   // bytes gathered before each write to disk
constexpr long kReceiveBufferSize = 512 * 1024;     // libcurl's receive buffer
constexpr long kMaxRedirects = 10;

std::atomic<long> stallLimitSeconds{60};

HResult fromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return kAccessDenied;
    case ENOSPC:
    case EDQUOT:
        return kDiskFull;
    case ENOMEM:
        return kOutOfMemory;
    default:
        return kInetDownloadFailure;
    }
}

HResult fromHttpStatus(long status)
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

HResult fromCurl(CURLcode code)
{
    switch (code) {
    case CURLE_URL_MALFORMAT:
        return kInetInvalidUrl;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return kInetUnknownProtocol;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return kInetResourceNotFound;
    case CURLE_COULDNT_CONNECT:
        return kInetCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return kInetConnectionTimeout;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
        return kInetSecurityProblem;
    case CURLE_TOO_MANY_REDIRECTS:
        return kInetRedirectFailed;
    case CURLE_OUT_OF_MEMORY:
        return kOutOfMemory;
    default:
        return kInetDownloadFailure;
    }
}

// The working directory put into the pattern. Backslashes in the pattern are the Windows
// separator and become "/" before the directory goes in, so a directory whose name happens to
// hold a backslash keeps it.
// Empty when the working directory cannot be had (removed under us, for example): "%s" must
// never become "" and send the file to the root directory.
std::string destinationFor(const std::string &pathPattern)
{
    std::string path = pathPattern;
    for (char &c : path) {
        if (c == '\\')
            c = '/';
    }
    std::error_code ec;
    const std::string directory = std::filesystem::current_path(ec).string();
    if (ec || directory.empty())
        return {};
    const std::size_t slot = path.find("%s");
    if (slot != std::string::npos)
        path.replace(slot, 2, directory);
    return path;
}

struct CurlDeleter {
    void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

// The partly written body: a file beside the destination that is removed unless it has been
// renamed into place.
class TempFile {
public:
    explicit TempFile(std::string destination) : destination_(std::move(destination)) {}
    ~TempFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    // Creates the file on first use; 0 on success, else an errno value.
    int open()
    {
        if (fd_ >= 0)
            return 0;
        const std::filesystem::path destination(destination_);
        std::error_code ec;
        // A first install has no "nembral" directory yet; without it the package could never
        // be stored, so the directories on the way are made.
        if (destination.has_parent_path())
            std::filesystem::create_directories(destination.parent_path(), ec);
        std::string hiddenName = ".";
        hiddenName += destination.filename().string();
        removeOrphans(destination.parent_path(), hiddenName + ".part-");
        const std::string stem = (destination.parent_path() / hiddenName).string();
        for (unsigned attempt = 0; attempt < 100; ++attempt) {
            std::string candidate = stem + ".part-" + std::to_string(::getpid()) + "-"
                + std::to_string(counter_.fetch_add(1));
            const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
            if (fd >= 0) {
                fd_ = fd;
                path_ = std::move(candidate);
                return 0;
            }
            if (errno != EEXIST)
                return errno;
        }
        return EEXIST;
    }

    // 0 on success, else an errno value.
    int write(const char *data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t written = ::write(fd_, data, size);
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        return 0;
    }

    // Closes the file and puts it in place of the destination; 0 on success, else an errno value.
    int commit()
    {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR)
            return errno;
        if (::rename(path_.c_str(), destination_.c_str()) != 0)
            return errno;
        path_.clear();
        return 0;
    }

private:
    // Partial files of downloads whose process died (kill -9, power loss) would otherwise stay
    // beside the destination for good. Only names with our exact prefix and the id of a
    // process that no longer exists are removed; a live download's file is left alone.
    static void removeOrphans(const std::filesystem::path &directory, const std::string &prefix)
    {
        std::error_code ec;
        const auto dirPath = directory.empty() ? std::filesystem::path(".") : directory;
        for (std::filesystem::directory_iterator it(dirPath, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.rfind(prefix, 0) != 0)
                continue;
            const std::string rest = name.substr(prefix.size());
            const std::size_t dash = rest.find('-');
            if (dash == 0 || dash == std::string::npos
                || rest.find_first_not_of("0123456789") != dash
                || rest.find_first_not_of("0123456789", dash + 1) != std::string::npos || dash + 1 == rest.size())
                continue;
            const long pid = std::strtol(rest.substr(0, dash).c_str(), nullptr, 10);
            if (pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                ::unlink(it->path().c_str());
        }
    }

    static inline std::atomic<unsigned> counter_{0};
    std::string destination_;
    std::string path_;
    int fd_ = -1;
};

struct Transfer {
    CURL *curl = nullptr;
    CallbackHandler *observer = nullptr;
    TempFile *file = nullptr;
    std::unique_ptr<char[]> buffer;
    std::size_t buffered = 0;
    std::uint64_t received = 0;
    std::int64_t contentLength = -1;
    bool connectingReported = false;
    bool locationSeen = false;
    bool storing = false;  // the body being received is the file asked for (a 2xx answer)
    int fileError = 0;
    std::chrono::steady_clock::duration stallLimit{};
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    bool stalled = false;

    void active() { lastActivity = std::chrono::steady_clock::now(); }

    // Bytes against the announced size, halved together until both fit the observer's
    // 32-bit arguments, so percentages stay right for files beyond 4 GiB.
    void notify(std::uint32_t status)
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
        }
        else if (length > 9 && strncasecmp(data, "location:", 9) == 0)
            transfer->locationSeen = true;
        return length;
    }

    long status = 0;
    curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300 && status < 400) {
        // Reported only for a redirect that will be followed.
        long followed = 0;
        curl_easy_getinfo(transfer->curl, CURLINFO_REDIRECT_COUNT, &followed);
        if (transfer->locationSeen && status != 304 && status != 300 && followed < kMaxRedirects)
            transfer->observer->OnProgress(0, 0, kBindStatusRedirecting, nullptr);
    } else if (status >= 200 && status < 300) {
        curl_off_t length = -1;
        curl_easy_getinfo(transfer->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
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
    if (!transfer->storing)
        return length;  // the body of a redirect that leads nowhere: not ours to keep
    if ((transfer->fileError = transfer->file->open()) != 0)
        return 0;
    std::size_t offset = 0;
    while (offset < length) {
        const std::size_t room = kWriteBufferSize - transfer->buffered;
        const std::size_t piece = std::min(room, length - offset);
        std::memcpy(transfer->buffer.get() + transfer->buffered, data + offset, piece);
        transfer->buffered += piece;
        offset += piece;
        if (transfer->buffered == kWriteBufferSize && !transfer->flush())
            return 0;
    }
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

HResult downloadAttempt(const std::string &url, const std::string &pathPattern)
{
    initialiseCurlOnce();
    const std::string destination = destinationFor(pathPattern);
    if (destination.empty()) {
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

    TempFile file(destination);
    Transfer transfer;
    transfer.curl = curl.get();
    transfer.observer = &observer;
    transfer.file = &file;
    transfer.buffer.reset(new (std::nothrow) char[kWriteBufferSize]);
    if (!transfer.buffer)
        return kOutOfMemory;

    const long stall = stallLimitSeconds.load();
    CURL *c = curl.get();
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
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_SOCKOPTFUNCTION, onSocketOpened);
    curl_easy_setopt(c, CURLOPT_SOCKOPTDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, onRequestReady);
    curl_easy_setopt(c, CURLOPT_PREREQDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);

    observer.OnProgress(0, 0, kBindStatusFindingResource, nullptr);
    transfer.active();
    const CURLcode code = curl_easy_perform(c);

    if (code == CURLE_ABORTED_BY_CALLBACK && transfer.stalled)
        return kInetConnectionTimeout;
    if (code == CURLE_HTTP_RETURNED_ERROR) {
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        return fromHttpStatus(status);
    }
    if (code == CURLE_WRITE_ERROR && transfer.fileError != 0)
        return fromErrno(transfer.fileError);
    if (code != CURLE_OK)
        return fromCurl(code);
    // libcurl stops at a redirect it cannot follow (no Location) without calling it an
    // error; only a 2xx answer is the file that was asked for.
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299)
        return status >= 300 && status < 400 ? kInetRedirectFailed : kInetDownloadFailure;

    // Complete: an empty body still makes an (empty) file, then everything goes into place.
    if (int error = file.open(); error != 0)
        return fromErrno(error);
    if (!transfer.flush())
        return fromErrno(transfer.fileError);
    if (int error = file.commit(); error != 0)
        return fromErrno(error);
    transfer.notify(kBindStatusEndDownloadData);
    return kSOk;
}

#include "platform/posix/downloadresult_posix.h"

#include <cerrno>

HResult resultFromErrno(int error)
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

HResult resultFromCurl(CURLcode code)
{
    switch (code) {
    case CURLE_URL_MALFORMAT:
        return kInetInvalidUrl;
    // Also a redirect to a scheme the transfer may not follow: libcurl reports it the same way.
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

// One download attempt on Windows: URLDownloadToFileW with our CallbackHandler as its
// bind-status observer.
#include "platform/downloadattempt.h"

#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

#include <cwchar>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/callbackhandler.h"
#include "platform/downloadresult.h"
#include "platform/log.h"
#include "platform/win/bindstatuscallback_win.h"
#include "platform/win/handle_win.h"
#include "platform/win/widen_win.h"

namespace {

// Length of what wsprintfW makes of `pattern` when its one "%s" becomes a text of
// `directoryLength` characters ("%%" is one "%"). Any other conversion in the pattern would
// read an argument that is not there, so such a pattern is refused (-1).
long long formattedLength(const std::wstring &pattern, std::size_t directoryLength)
{
    long long length = 0;
    int strings = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != L'%') {
            ++length;
            continue;
        }
        const wchar_t next = i + 1 < pattern.size() ? pattern[i + 1] : L'\0';
        if (next == L'%') {
            ++length;
        } else if (next == L's' && strings == 0) {
            length += static_cast<long long>(directoryLength);
            ++strings;
        } else {
            return -1;
        }
        ++i;
    }
    return strings == 1 ? length : -1;
}

// The folders the pattern puts between the working directory and the file ("nembral" in the
// package's pattern, kPackageArchivePattern), as written there.
std::vector<std::wstring> foldersAfterDirectory(const std::wstring &pattern)
{
    std::vector<std::wstring> folders;
    const std::size_t slot = pattern.find(L"%s");
    std::wstring part;
    for (std::size_t i = slot + 2; i < pattern.size(); ++i) {
        const wchar_t c = pattern[i];
        if (c == L'\\' || c == L'/') {
            if (!part.empty() && part != L".")
                folders.push_back(part);
            part.clear();
        } else {
            part.push_back(c);
            if (c == L'%' && i + 1 < pattern.size() && pattern[i + 1] == L'%')
                ++i;  // "%%" is one "%"
        }
    }
    return folders;
}

bool isLink(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Makes the folders below the working directory that the destination needs. The download
// service is not relied on to make them (wine's reports success without writing anything). A
// junction or directory link where one of them should be (an installation moved to another
// disk) is followed, as any path is; a file there, or a link to nothing, fails the attempt.
HResult makeFoldersBelow(std::wstring folder, const std::vector<std::wstring> &names)
{
    for (const std::wstring &name : names) {
        folder += L"\\" + name;
        DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES && !CreateDirectoryW(folder.c_str(), nullptr)
            && GetLastError() != ERROR_ALREADY_EXISTS)
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        // Looked at again after making it, through a link if it is one: whatever folder stands
        // there now is what the file goes into.
        const WinHandle opened(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        if (!opened || !GetFileInformationByHandle(opened.get(), &info)
            || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    }
    return S_OK;
}

}  // namespace

void setDownloadStallLimitSeconds(long seconds)
{
    // URLDownloadToFileW fetches http(s) through WinINet, whose process-wide time-outs bound
    // connecting and each wait for data.
    DWORD milliseconds = static_cast<DWORD>(seconds > 0 ? seconds : 1) * 1000u;
    InternetSetOptionW(nullptr, INTERNET_OPTION_CONNECT_TIMEOUT, &milliseconds, sizeof milliseconds);
    InternetSetOptionW(nullptr, INTERNET_OPTION_RECEIVE_TIMEOUT, &milliseconds, sizeof milliseconds);
    InternetSetOptionW(nullptr, INTERNET_OPTION_SEND_TIMEOUT, &milliseconds, sizeof milliseconds);
}

HResult downloadAttempt(const std::string &url, const std::string &pathPattern, std::uint64_t maxBodyBytes)
{
    const std::wstring wideUrl = widenBytes(url);

    // The destination lives in a MAX_PATH buffer. Both the working directory and the path
    // made from it are measured before anything is written, so a deep working directory
    // fails this attempt with a logged reason instead of running past the buffer.
    wchar_t directory[MAX_PATH] = {};
    const DWORD directoryLength = GetCurrentDirectoryW(MAX_PATH, directory);
    if (directoryLength == 0 || directoryLength >= MAX_PATH) {
        logLine("Cannot use the working directory as download destination: it is unavailable or longer than "
                + std::to_string(MAX_PATH - 1) + " characters.");
        const DWORD error = directoryLength == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }

    const std::wstring widePattern = widenBytes(pathPattern);
    const long long pathLength = formattedLength(widePattern, directoryLength);
    if (pathLength < 0) {
        logLine("Download destination pattern must contain exactly one %s: " + pathPattern);
        return E_INVALIDARG;
    }
    if (pathLength >= MAX_PATH) {
        logLine("Download destination path is " + std::to_string(pathLength) + " characters long, more than the "
                + std::to_string(MAX_PATH - 1) + " that fit.");
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    wchar_t destination[MAX_PATH] = {};
    wsprintfW(destination, widePattern.c_str(), directory);

    // Drop any cached copy so the fetch below goes to the server; no entry is the usual case.
    DeleteUrlCacheEntryW(wideUrl.c_str());

    CallbackHandler handler;
    BindStatusCallbackAdapter observer(handler, maxBodyBytes == kNoBodyLimit ? 0 : maxBodyBytes,
                                       isHttpsUrl(wideUrl.c_str()));
    logLine("CallbackHandler");

    // The package goes into a folder that does not exist before the first installation.
    if (const HResult folders = makeFoldersBelow(directory, foldersAfterDirectory(widePattern)); folders < 0)
        return folders;
    // A link at the destination's own name is removed, so that the file is written in its
    // place rather than through it.
    if (isLink(GetFileAttributesW(destination)) && !DeleteFileW(destination) && !RemoveDirectoryW(destination))
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);

    const HResult result = URLDownloadToFileW(nullptr, wideUrl.c_str(), destination, 0, &observer);
    // The observer stops a body that goes past the limit as soon as its size shows (announced,
    // or as received); a body that ends within a chunk of the limit is only seen once stored,
    // so the file is measured too. Either way nothing of it stays, and the attempt fails as it
    // does on Linux.
    bool overLimit = observer.overLimit();
    if (!overLimit && result >= 0 && maxBodyBytes != kNoBodyLimit) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        const bool measured = GetFileAttributesExW(destination, GetFileExInfoStandard, &data) != 0;
        const std::uint64_t size = (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        overLimit = measured && size > maxBodyBytes;
    }
    if (overLimit) {
        DeleteFileW(destination);
        return kInetCannotLoadData;
    }
    // Stopped at a redirect away from https; should the service have gone on all the same,
    // what it stored came over plain text and is not kept.
    if (observer.leftHttps()) {
        DeleteFileW(destination);
        return kInetUnknownProtocol;
    }
    // An error page is not the file asked for, whether or not the service took it for one.
    if (result >= 0 && observer.httpStatus() >= 400) {
        DeleteFileW(destination);
        // An HTTP status has three digits: it fits a long on every system.
        return resultFromHttpStatus(static_cast<long>(observer.httpStatus()));
    }
    // The file is not flushed to the disk: a package is downloaded again by any run that needs
    // it, and checked entry by entry before anything of it is installed.
    return result;
}

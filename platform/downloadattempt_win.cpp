// One download attempt on Windows: URLDownloadToFileW with our CallbackHandler as its
// bind-status observer.
#include "platform/downloadattempt.h"

#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "platform/callbackhandler.h"
#include "platform/log.h"
#include "platform/win/widen_win.h"

namespace {

Guid toGuid(REFIID iid)
{
    Guid g{};
    g.data1 = iid.Data1;
    g.data2 = iid.Data2;
    g.data3 = iid.Data3;
    std::memcpy(g.data4, iid.Data4, sizeof g.data4);
    return g;
}

// The COM face of a CallbackHandler. The handler holds the behaviour (and is shared with the
// non-Windows downloader and its tests); this class only translates the types of the
// IBindStatusCallback table. It lives on the attempt's stack for exactly the duration of the
// download call, so the reference count stays the handler's constant answers.
class BindStatusCallbackAdapter final : public IBindStatusCallback {
public:
    explicit BindStatusCallbackAdapter(CallbackHandler &handler) : handler_(handler) {}
    virtual ~BindStatusCallbackAdapter() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (object == nullptr)
            return E_POINTER;
        void *answer = nullptr;
        const HResult result = handler_.QueryInterface(toGuid(iid), &answer);
        // The handler accepts the ids it implements; the object that implements them for COM
        // is this adapter, not the handler.
        *object = (result == kSOk && answer != nullptr) ? static_cast<IBindStatusCallback *>(this) : nullptr;
        return result;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return handler_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return handler_.Release(); }

    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD reserved, IBinding *binding) override
    {
        return handler_.OnStartBinding(reserved, binding);
    }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG *priority) override
    {
        std::int32_t value = priority ? *priority : 0;
        const HResult result = handler_.GetPriority(priority ? &value : nullptr);
        if (priority)
            *priority = value;
        return result;
    }
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD reserved) override { return handler_.OnLowResource(reserved); }
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode,
                                         LPCWSTR statusText) override
    {
        return handler_.OnProgress(progress, progressMax, statusCode, statusText);
    }
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT result, LPCWSTR error) override
    {
        return handler_.OnStopBinding(result, error);
    }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD *bindFlags, BINDINFO *bindInfo) override
    {
        std::uint32_t flags = bindFlags ? *bindFlags : 0;
        const HResult result = handler_.GetBindInfo(bindFlags ? &flags : nullptr, bindInfo);
        if (bindFlags)
            *bindFlags = flags;
        return result;
    }
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD flags, DWORD size, FORMATETC *format,
                                              STGMEDIUM *medium) override
    {
        return handler_.OnDataAvailable(flags, size, format, medium);
    }
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID iid, IUnknown *object) override
    {
        return handler_.OnObjectAvailable(toGuid(iid), object);
    }

private:
    CallbackHandler &handler_;
};

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

}  // namespace

HResult downloadAttempt(const std::string &url, const std::string &pathPattern)
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
        return directoryLength == 0 ? HRESULT_FROM_WIN32(GetLastError()) : HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
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
    BindStatusCallbackAdapter observer(handler);
    logLine("CallbackHandler");
    return URLDownloadToFileW(nullptr, wideUrl.c_str(), destination, 0, &observer);
}

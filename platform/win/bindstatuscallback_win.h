#pragma once

#include <windows.h>
#include <urlmon.h>

#include <cstdint>
#include <cstring>

#include "platform/callbackhandler.h"

inline Guid toGuid(REFIID iid)
{
    Guid g{};
    g.data1 = iid.Data1;
    g.data2 = iid.Data2;
    g.data3 = iid.Data3;
    std::memcpy(g.data4, iid.Data4, sizeof g.data4);
    return g;
}

// Whether `url` is an https one, the scheme in any case; a missing url is not.
inline bool isHttpsUrl(const wchar_t *url)
{
    return url != nullptr && _wcsnicmp(url, L"https:", 6) == 0;
}

// The COM face of a CallbackHandler. The handler holds the behaviour (and is shared with the
// non-Windows downloader and its tests); this class only translates the types of the
// IBindStatusCallback table. It lives on the attempt's stack for exactly the duration of the
// download call, so the reference count stays the handler's constant answers.
//
// With a body limit it also ends the transfer once the body is announced or received beyond
// it: an endless body would otherwise never let the download call return.
//
// An https download never follows a redirect to anything but https: the service would
// otherwise take the version file or the package from plain http, where anyone on the way can
// change it. Such a redirect ends the transfer, and whatever came of it is refused.
//
// It also takes the server's answer through IHttpNegotiate, which the download service asks the
// observer for: wine's service stores an error page (a 404, say) as a successful download, so the
// attempt learns the status here and fails on an error status itself, as Windows does.
class BindStatusCallbackAdapter final : public IBindStatusCallback, public IHttpNegotiate {
public:
    // `maxBodyBytes` 0: no limit. `httpsOnly`: redirects must stay on https.
    BindStatusCallbackAdapter(CallbackHandler &handler, std::uint64_t maxBodyBytes = 0, bool httpsOnly = false)
        : handler_(handler), maxBodyBytes_(maxBodyBytes), httpsOnly_(httpsOnly)
    {
    }
    // True once the transfer was stopped for going past the limit.
    bool overLimit() const { return overLimit_; }
    // True once a redirect away from https was seen (and the transfer stopped).
    bool leftHttps() const { return leftHttps_; }
    // The HTTP status of the last answer, 0 before any.
    DWORD httpStatus() const { return httpStatus_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IHttpNegotiate)) {
            *object = static_cast<IHttpNegotiate *>(this);
            AddRef();
            return S_OK;
        }
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
        binding_ = binding;
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
        const HRESULT result = handler_.OnProgress(progress, progressMax, statusCode, statusText);
        if (httpsOnly_ && statusCode == BINDSTATUS_REDIRECTING
            && !isHttpsUrl(statusText)) {
            leftHttps_ = true;
            if (binding_ != nullptr)
                binding_->Abort();
            return E_ABORT;
        }
        if (maxBodyBytes_ != 0 && (progress > maxBodyBytes_ || progressMax > maxBodyBytes_)) {
            // E_ABORT from the observer is how the download call is asked to stop.
            overLimit_ = true;
            if (binding_ != nullptr)
                binding_->Abort();
            return E_ABORT;
        }
        return result;
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

    HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR *additionalHeaders) override
    {
        if (additionalHeaders != nullptr)
            *additionalHeaders = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnResponse(DWORD responseCode, LPCWSTR, LPCWSTR, LPWSTR *additionalHeaders) override
    {
        httpStatus_ = responseCode;
        if (additionalHeaders != nullptr)
            *additionalHeaders = nullptr;
        return S_OK;
    }

private:
    CallbackHandler &handler_;
    std::uint64_t maxBodyBytes_;
    bool httpsOnly_;
    bool overLimit_ = false;
    bool leftHttps_ = false;
    DWORD httpStatus_ = 0;
    // Valid from OnStartBinding until the download call returns, which outlasts every
    // notification; not ours to release.
    IBinding *binding_ = nullptr;
};

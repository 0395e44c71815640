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

// The COM face of a CallbackHandler. The handler holds the behaviour (and is shared with the
// non-Windows downloader and its tests); this class only translates the types of the
// IBindStatusCallback table. It lives on the attempt's stack for exactly the duration of the
// download call, so the reference count stays the handler's constant answers.
class BindStatusCallbackAdapter final : public IBindStatusCallback {
public:
    explicit BindStatusCallbackAdapter(CallbackHandler &handler) : handler_(handler) {}

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

#include "bindstatus.h"

#include <windows.h>
#include <urlmon.h>

#include "platform/win/bindstatuscallback_win.h"

namespace bindstatus {

namespace {

const IID &iidOf(Face face)
{
    switch (face) {
    case Face::Unknown:
        return IID_IUnknown;
    case Face::BindStatusCallback:
        return IID_IBindStatusCallback;
    case Face::HttpNegotiate:
        return IID_IHttpNegotiate;
    case Face::ServiceProvider:
        return IID_IServiceProvider;
    case Face::Authenticate:
        break;
    }
    return IID_IAuthenticate;
}

}  // namespace

Answer queryInterface(Face face)
{
    CallbackHandler handler;
    BindStatusCallbackAdapter adapter(handler);
    IBindStatusCallback *callback = &adapter;
    void *object = reinterpret_cast<void *>(0x1);  // must be overwritten either way
    const HRESULT result = callback->QueryInterface(iidOf(face), &object);
    void *const self = face == Face::HttpNegotiate ? static_cast<void *>(static_cast<IHttpNegotiate *>(&adapter))
                                                   : static_cast<void *>(callback);
    return {result, object == self, object == nullptr};
}

bool queryInterfaceWithoutPlaceIsRefused()
{
    CallbackHandler handler;
    BindStatusCallbackAdapter adapter(handler);
    IBindStatusCallback *callback = &adapter;
    return callback->QueryInterface(IID_IUnknown, nullptr) == E_POINTER;
}

HResult onProgress(CallbackHandler &handler, std::uint32_t progress, std::uint32_t progressMax,
                   std::uint32_t statusCode)
{
    BindStatusCallbackAdapter adapter(handler);
    IBindStatusCallback *callback = &adapter;
    return callback->OnProgress(progress, progressMax, statusCode, L"ignored");
}

Redirect redirect(bool httpsOnly, const wchar_t *target)
{
    CallbackHandler handler;
    BindStatusCallbackAdapter adapter(handler, 0, httpsOnly);
    IBindStatusCallback *callback = &adapter;
    const HRESULT result = callback->OnProgress(0, 0, BINDSTATUS_REDIRECTING, target);
    return {result == E_ABORT, adapter.leftHttps()};
}

}  // namespace bindstatus

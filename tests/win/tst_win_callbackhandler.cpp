// CallbackHandler as the download service sees it: through the IBindStatusCallback table of
// its COM adapter.
#include <windows.h>
#include <urlmon.h>

#include <string>

#include "harness.h"
#include "platform/callbackhandler.h"
#include "platform/downloadstatus.h"
#include "platform/win/bindstatuscallback_win.h"
#include "testsupport_win.h"
#include "tests/platform/cases/onprogress_cases.h"

using testsupport::OutputCapture;

namespace {

void identityAndReferenceCount()
{
    harness::beginCase("QueryInterface hands out the adapter for the three accepted ids, null otherwise");
    CallbackHandler handler;
    BindStatusCallbackAdapter adapter(handler);
    IBindStatusCallback *callback = &adapter;

    struct Row {
        const IID *iid;
        const char *name;
        HRESULT result;
        bool self;
    };
    const Row rows[] = {
        {&IID_IBindStatusCallback, "IBindStatusCallback", S_OK, true},
        {&IID_IUnknown, "IUnknown", S_OK, true},
        // The server's answer, for its status (checked through the download in tst_win_download).
        {&IID_IHttpNegotiate, "IHttpNegotiate", S_OK, true},
        // What the download service asks for besides; we implement neither.
        {&IID_IServiceProvider, "IServiceProvider", E_NOINTERFACE, false},
        {&IID_IAuthenticate, "IAuthenticate", E_NOINTERFACE, false},
    };
    for (const Row &row : rows) {
        harness::beginCase(std::string("QueryInterface ") + row.name);
        void *object = reinterpret_cast<void *>(0x1);  // must be overwritten either way
        CHECK_EQ(callback->QueryInterface(*row.iid, &object), row.result);
        void *self = row.iid == &IID_IHttpNegotiate ? static_cast<void *>(static_cast<IHttpNegotiate *>(&adapter))
                                                    : static_cast<void *>(callback);
        CHECK_EQ(object, row.self ? self : nullptr);
    }
    CHECK_EQ(callback->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    harness::beginCase("AddRef and Release answer 2 and 1 however often they are called");
    for (int i = 0; i < 3; ++i) {
        CHECK_EQ(callback->AddRef(), 2UL);
        CHECK_EQ(callback->Release(), 1UL);
    }
    CHECK_EQ(callback->Release(), 1UL);

    harness::beginCase("every other notification answers E_NOTIMPL");
    LONG priority = 7;
    DWORD flags = 3;
    BINDINFO info{};
    info.cbSize = sizeof info;
    CHECK_EQ(callback->OnStartBinding(0, nullptr), E_NOTIMPL);
    CHECK_EQ(callback->GetPriority(&priority), E_NOTIMPL);
    CHECK_EQ(priority, 7L);
    CHECK_EQ(callback->OnLowResource(0), E_NOTIMPL);
    CHECK_EQ(callback->OnStopBinding(S_OK, nullptr), E_NOTIMPL);
    CHECK_EQ(callback->GetBindInfo(&flags, &info), E_NOTIMPL);
    CHECK_EQ(flags, 3UL);
    CHECK_EQ(callback->OnDataAvailable(0, 0, nullptr, nullptr), E_NOTIMPL);
    CHECK_EQ(callback->OnObjectAvailable(IID_IUnknown, nullptr), E_NOTIMPL);
}

// The shared OnProgress table, sent through the COM interface the download service calls.
void progressThroughTheInterface()
{
    using namespace nembral_cases;
    for (const OnProgressCase &c : kOnProgressCases) {
        harness::beginCase(std::string("OnProgress: ") + c.name);
        downloadStatus.downloadProgress.store(kProgressUntouched);
        CallbackHandler handler;
        BindStatusCallbackAdapter adapter(handler);
        IBindStatusCallback *callback = &adapter;
        OutputCapture capture;
        bool allOk = true;
        for (int i = 0; i < c.callCount; ++i) {
            const ProgressCall &call = c.calls[i];
            allOk = callback->OnProgress(call.progress, call.progressMax, call.statusCode, L"ignored") == S_OK && allOk;
        }
        CHECK(allOk);
        CHECK_EQ(capture.outLines(), testsupport::splitLines(c.log));
        CHECK_EQ(capture.errLines().size(), std::size_t(0));
        CHECK_EQ(handler.lastPercent, c.lastPercent);
        CHECK_EQ(downloadStatus.downloadProgress.load(), c.downloadProgress);
    }
}

// An https download follows redirects on https only; plain http (or no target at all) ends it.
void redirectsOfAnHttpsDownload()
{
    struct Row {
        const char *name;
        bool httpsOnly;
        const wchar_t *target;
        bool refused;
    };
    const Row rows[] = {
        {"https to https", true, L"https://127.0.0.1/Software/Nembral/version.txt", false},
        {"https to HTTPS, any case", true, L"HTTPS://127.0.0.1/", false},
        {"https to plain http", true, L"http://127.0.0.1/Software/Nembral/version.txt", true},
        {"https to a target not told", true, nullptr, true},
        {"http to http", false, L"http://127.0.0.1/", false},
    };
    for (const Row &row : rows) {
        harness::beginCase(std::string("redirect, ") + row.name);
        CallbackHandler handler;
        BindStatusCallbackAdapter adapter(handler, 0, row.httpsOnly);
        IBindStatusCallback *callback = &adapter;
        OutputCapture capture;
        CHECK_EQ(callback->OnProgress(0, 0, BINDSTATUS_REDIRECTING, row.target), row.refused ? E_ABORT : S_OK);
        CHECK_EQ(adapter.leftHttps(), row.refused);
    }
}

}  // namespace

int main()
{
    identityAndReferenceCount();
    progressThroughTheInterface();
    redirectsOfAnHttpsDownload();
    return harness::finish();
}

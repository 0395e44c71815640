#pragma once

// The download observer as the Windows download service sees it: through the COM faces of its
// adapter (IBindStatusCallback, and IHttpNegotiate for the server's answer). Built on Windows
// only (bindstatus_win.cpp); the rows that call it skip elsewhere.

#include <cstdint>

#include "platform/callbackhandler.h"

namespace bindstatus {

enum class Face { Unknown,
                  BindStatusCallback,
                  HttpNegotiate,
                  ServiceProvider,
                  Authenticate };

struct Answer {
    HResult result;
    // The object handed out is the adapter's own face for the id asked for; false when it is
    // anything else (null included).
    bool self;
    bool null;
};

// QueryInterface on a fresh adapter.
Answer queryInterface(Face face);
// QueryInterface with no place to put the object: E_POINTER, and nothing written anywhere.
bool queryInterfaceWithoutPlaceIsRefused();

// OnProgress, through the adapter of `handler`.
HResult onProgress(CallbackHandler &handler, std::uint32_t progress, std::uint32_t progressMax,
                   std::uint32_t statusCode);

// A redirect to `target` (null: the service does not say where), told to the adapter of a
// download that must stay on https or not. `refused`: the notification answered E_ABORT.
struct Redirect {
    bool refused;
    bool leftHttps;
};
Redirect redirect(bool httpsOnly, const wchar_t *target);

}  // namespace bindstatus

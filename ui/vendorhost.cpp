#include "platform/linkseams.h"

#ifdef NEMBRAL_TEST_VENDOR_ENV
#include <cstdlib>
#endif

#ifndef NEMBRAL_VENDOR_HOST
#error "NEMBRAL_VENDOR_HOST must be defined by the build"
#endif

std::string vendorHost()
{
#ifdef NEMBRAL_TEST_VENDOR_ENV
    // A test build only (never a release): the whole-program tests point one launcher build at
    // servers on ports they choose.
    if (const char *host = std::getenv("NEMBRAL_TEST_VENDOR_HOST"); host != nullptr && *host != '\0')
        return host;
#endif
    return NEMBRAL_VENDOR_HOST;
}

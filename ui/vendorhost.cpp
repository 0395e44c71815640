#include "platform/linkseams.h"

#ifndef NEMBRAL_VENDOR_HOST
#error "NEMBRAL_VENDOR_HOST must be defined by the build"
#endif

std::string vendorHost()
{
    return NEMBRAL_VENDOR_HOST;
}

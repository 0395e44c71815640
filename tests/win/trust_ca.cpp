// trust-ca PEM: adds a throw-away CA to the wine prefix's root store, so that the Windows
// programs the lane runs trust the local vendor server (scripts/test-windows.sh).
#include "support/trustca_win.h"

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust-ca CA.pem\n");
        return 2;
    }
    if (!trustCertificateAuthority(argv[1])) {
        std::fprintf(stderr, "trust-ca: cannot add %ls to the root store\n", argv[1]);
        return 1;
    }
    return 0;
}

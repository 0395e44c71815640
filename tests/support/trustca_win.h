#pragma once

#include <string>

// Adds the certificate authority in the PEM file `pemPath` (a Windows path) to the machine's
// root store, which WinINet trusts: how the tests under wine trust the local vendor server's
// throw-away CA. The machine's store rather than the user's, since adding to the user's root
// store asks the user first on Windows. True when the CA is in the store afterwards, as another
// process reads it from the registry; a failure says why on standard error.
bool trustCertificateAuthority(const std::wstring &pemPath);

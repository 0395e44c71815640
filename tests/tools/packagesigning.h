#pragma once

#include <QString>

// How the signature tests sign packages. On POSIX with the vendor's own program,
// tools/sign-package, which is under test too. Under Windows the vendor's programs (Python,
// the openssl command line, CMake) do not run, so the packages are signed in the process with
// libcrypto, in the format tools/sign-package writes (docs/signing.md); the rows that test
// those programs themselves run on POSIX only.

// Signs the archive at `path` in place with the Ed25519 key in `privateKey` (PEM). Empty on
// success, otherwise why not.
QString signPackageFile(const QString &path, const QString &privateKey);

// Whether the vendor's programs run here.
bool vendorProgramsRunHere();

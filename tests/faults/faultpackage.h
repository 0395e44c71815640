#pragma once

#include "faultrow.h"

#include <QString>
#include <QStringList>

// The packages the rows publish, written with libarchive's zip writer, which stores names
// exactly as given, so unsafe names and links can be made on purpose.
//
// Every good package installs the same small application: Nembrals.exe is a shell script that
// appends "<version> complete" (or "incomplete", when its version file or data file is
// missing beside it) to the file named by NEMBRAL_FAULTS_STARTED, so a row can tell which
// installation was started, how often, and whether it was whole.

// Writes `package` to `path`; `outside` is the row's outside folder, which the unsafe packages
// aim at. Empty on success, otherwise why not.
QString writePackage(Package package, const QString &path, const QString &outside);

// Writes a complete installation of `version` below `installDir` (nembral/nembral), as a
// finished installation leaves it. Empty on success.
QString writeInstallation(const QString &installDir, const QByteArray &version);

// The entries a complete installation of `package` has below the working directory, sorted.
QStringList installedTree(Package package = Package::Good);

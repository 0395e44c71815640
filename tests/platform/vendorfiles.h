#pragma once

#include <QString>

// The served folder's files for the download tests, made once per test run.
void writeVendorFiles(const QString &dir);

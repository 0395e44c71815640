#pragma once

#include "tools/unzip/entryplan.h"

#include <string>

// The files an extracted package cannot do without (kPackageVersionFile and
// kPackageExecutable, platform/packagenames.h). The launcher takes the version file for the
// sign of a complete installation and starts the executable; a tree without
// either would be taken for installed and could never start, nor ever be repaired by the
// next run. Empty when `plan` writes both as regular files, otherwise what is missing.
std::string packageProblem(const ExtractionPlan &plan);

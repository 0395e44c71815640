#pragma once

#include "tools/unzip/nativehandle.h"

#include <string>

// Removes `name` in the directory `parent` and, when it is a directory, everything below it.
// Links are removed, never followed, so nothing outside the tree is touched. Directories the
// archive made read-only (on Windows, read-only files) are opened up for their owner first.
// True when nothing is left under that name (also when there was nothing).
bool removeTreeAt(NativeValue parent, const std::string &name);

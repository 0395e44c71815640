#pragma once

#include <functional>

// Calls `visit(name, type)` for each entry of the directory open as `directory` (any
// descriptor of it, O_PATH ones too), "." and ".." left out; `type` is the entry's d_type
// (DT_UNKNOWN where the file system does not say). The walk lists through a descriptor of its
// own, so `directory`'s position is untouched. It stops early when `visit` returns false.
// 0 when the listing was read to its end or stopped by `visit`, else the errno value of the
// open or the read that failed.
int walkDirectory(int directory, const std::function<bool(const char *name, unsigned char type)> &visit);

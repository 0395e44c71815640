#pragma once

// What the file suites look at on Windows that Qt does not show. Built on Windows only
// (winfs_win.cpp).

#include <string>

// Whether `path` itself (not what it leads to) is a reparse point: a symbolic link or a
// junction, or a Unix link as wine shows one.
bool isReparsePoint(const std::wstring &path);

// Makes `link` a symbolic link to the file `target`, unprivileged where the system allows;
// false when none could be made (wine makes none).
bool makeFileLink(const std::wstring &link, const std::wstring &target);

#pragma once

// The removal of one entry by its path, shared by the Windows bodies of removeTree and
// removeFileIn (defined in removetree_win.cpp).
#include <windows.h>

#include <string>

// Removes the file, the empty folder or the link (never what it points to) at `path`, whose
// attributes are `attributes`, read-only or not. ERROR_SUCCESS or the system's error.
DWORD removeEntryByPath(const std::wstring &path, DWORD attributes);

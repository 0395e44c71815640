#include "winfs.h"

#include <windows.h>

bool isReparsePoint(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool makeFileLink(const std::wstring &link, const std::wstring &target)
{
    constexpr DWORD kAllowUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    return CreateSymbolicLinkW(link.c_str(), target.c_str(), kAllowUnprivileged) != 0 && isReparsePoint(link);
}

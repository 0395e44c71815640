// removeTree on Windows: the path is looked at part by part, and the entry at its end removed
// by the one handle-relative tree removal that unzip.exe uses too (platform/win), which never
// follows a link in the tree.
#include "platform/filehelpers.h"

#include <windows.h>

#include <filesystem>
#include <string>

#include "platform/win/fileerror_win.h"
#include "platform/win/removetreeat_win.h"

namespace {

Result<std::uintmax_t> resultOf(const TreeRemoval &removal)
{
    if (removal.error != ERROR_SUCCESS)
        return failureAt(removal.failedPath, removal.error);
    return removal.removed;
}

}  // namespace

Result<std::uintmax_t> removeTree(const std::string &path)
{
    TreeRemoval removal;
    // The directories on the way are looked at one by one. A junction or link among them is
    // followed, as any path is resolved (a folder moved elsewhere, a link left in its place);
    // only the entry at the path itself is never followed.
    const std::wstring wide = std::filesystem::path(path).wstring();
    std::size_t start = 0;
    for (;;) {
        const std::size_t separator = wide.find_first_of(L"/\\", start);
        const std::wstring prefix = wide.substr(0, separator);
        const std::wstring name = wide.substr(start, separator == std::wstring::npos ? std::wstring::npos : separator - start);
        const bool last = separator == std::wstring::npos
                          || wide.find_first_not_of(L"/\\", separator) == std::wstring::npos;
        // A drive ("C:"), the root or an empty or "." part has nothing of its own to look at.
        const bool skip = name.empty() || name == L"." || (start == 0 && name.size() == 2 && name[1] == L':');
        if (!skip) {
            const DWORD attributes = GetFileAttributesW(prefix.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                const DWORD error = GetLastError();
                if (!isAbsenceError(error)) {
                    removal.failedPath = utf8FromWide(prefix);
                    removal.error = error;
                }
                break;
            }
            const std::string shown = utf8FromWide(prefix);
            if (last) {
                removeTreeAt(nullptr, prefix, prefix, attributes, shown, removal);
                break;
            }
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                break;  // a file on the way: nothing at the path
        } else if (last) {
            break;
        }
        start = separator + 1;
    }
    return resultOf(removal);
}

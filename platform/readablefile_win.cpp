#include "platform/filehelpers.h"

#include <share.h>

#include <filesystem>

std::FILE *ReadableFile::openShared(const std::string &path)
{
    // Read-only text mode: a missing file is never created. Deny-none sharing: another process
    // may go on reading and writing the file while we hold it, and the open succeeds while
    // another process holds the file, as long as that process lets others read. The narrow
    // path is converted the same way the file helpers' std::filesystem calls convert it.
    return _wfsopen(std::filesystem::path(path).c_str(), L"rt", _SH_DENYNO);
}

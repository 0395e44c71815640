#include "tools/unzip/archivereader.h"

#include <archive_entry.h>

// UTF-8 in the C.UTF-8 locale the tool sets (toolprocess_posix.cpp), converted from the
// archive's names as libarchive reads them.
bool entryName(archive_entry *entry, std::string &name)
{
    const char *text = archive_entry_pathname_utf8(entry);
    if (text == nullptr)
        return false;
    name = text;
    return true;
}

bool entryLinkTarget(archive_entry *entry, std::string &target)
{
    const char *text = archive_entry_symlink_utf8(entry);
    target = text != nullptr ? text : "";
    return text != nullptr;
}

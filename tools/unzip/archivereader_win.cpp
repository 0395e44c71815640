#include "tools/unzip/archivereader.h"

#include "tools/unzip/win/text_win.h"

#include <archive_entry.h>

bool entryName(archive_entry *entry, std::string &name)
{
    if (const wchar_t *wide = archive_entry_pathname_w(entry)) {
        name = utf8FromWide(wide);
        return true;
    }
    const char *text = archive_entry_pathname_utf8(entry);
    if (text == nullptr)
        return false;
    name = text;
    return true;
}

bool entryLinkTarget(archive_entry *entry, std::string &target)
{
    if (const wchar_t *wide = archive_entry_symlink_w(entry)) {
        target = utf8FromWide(wide);
        return true;
    }
    const char *text = archive_entry_symlink_utf8(entry);
    target = text != nullptr ? text : "";
    return text != nullptr;
}

#include "tools/unzip/removetree.h"

#include "platform/posix/removetreeat_posix.h"

bool removeTreeAt(NativeValue parent, const std::string &name)
{
    // The tool's own trees may hold directories the archive made read-only; it removes what it
    // can and reports whether anything is left.
    TreeRemoval removal;
    removal.openUp = true;
    removal.keepGoing = true;
    return removeTreeAt(static_cast<int>(parent), name.c_str(), name, removal);
}

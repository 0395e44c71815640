#include "workflow/installwipe.h"

#include "platform/filehelpers.h"
#include "platform/log.h"
#include "platform/packagenames.h"

bool wipeInstalledTree()
{
    const RemoveTreeResult wiped = removeTree(kInstallDir);
    if (wiped.ok())
        return true;
    logErrorLine("cannot install: \"" + wiped.failedPath + "\" could not be removed: " + wiped.reason);
    return false;
}

#include "workflow/installwipe.h"

#include "platform/filehelpers.h"
#include "platform/log.h"
#include "platform/packagenames.h"
#include "workflow/previousinstall.h"

bool wipeInstalledTree()
{
    // A whole installation is only set aside, to come back if the update fails.
    if (setAsideInstallation())
        return true;
    // The marker goes first, before any other entry. A wipe that has to stop part-way (a
    // running copy holds its executable, an entry without permission) then leaves a tree that
    // the next run installs again, never one that it takes for complete and starts. Removed
    // inside the installed folder only: a link in that folder's place is not followed.
    Result<std::uintmax_t> wiped = removeFileIn(kInstallDir, kInstalledVersionFileName);
    if (wiped)
        wiped = removeTree(kInstallDir);
    if (wiped)
        return true;
    logErrorLine("cannot install: \"" + wiped.failure().path + "\" could not be removed: " + wiped.failure().text);
    return false;
}

#include "workflow/previousinstall.h"

#include "platform/filehelpers.h"
#include "platform/log.h"
#include "platform/namedmutex.h"
#include "platform/packagenames.h"

#include <filesystem>
#include <system_error>

namespace {

bool renamed(const char *from, const char *to)
{
    std::error_code error;
    std::filesystem::rename(from, to, error);
    return !error;
}

bool isPresent(const char *path)
{
    return canOpenForReading(path).isOpen();
}

void removeSetAsideVersionFile()
{
    removeQuietly(kSetAsideVersionFile);
}

}  // namespace

void removeQuietly(const char *path)
{
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

bool setAsideInstallation()
{
    // Only a whole installation in a real folder of ours is worth keeping; a link in the
    // folder's place is not followed, and a tree without its version file is not whole.
    if (!isRealFolder(kInstallDir) || !isPresent(kInstalledVersionFile))
        return false;
    // Left over from an update that could not be put right (another launcher's, say).
    removeSetAsideVersionFile();
    if (!removeTree(kSetAsideDir).ok())
        return false;
    if (!renamed(kInstalledVersionFile, kSetAsideVersionFile))
        return false;
    if (!renamed(kInstallDir, kSetAsideDir)) {
        // A running copy keeps its folder from moving on Windows: back as it was.
        (void)renamed(kSetAsideVersionFile, kInstalledVersionFile);
        return false;
    }
    return true;
}

void discardSetAsideInstallation()
{
    removeSetAsideVersionFile();
    (void)removeTree(kSetAsideDir);
}

Recovery recoverSetAsideInstallation()
{
    // An extraction at work belongs to an update that is still running.
    if (namedMutexExists(kExtractMutex))
        return Recovery::Nothing;
    const bool versionAside = isPresent(kSetAsideVersionFile);
    const bool treeAside = isRealFolder(kSetAsideDir);
    if (!versionAside && !treeAside)
        return Recovery::Nothing;

    const bool newInstallationWhole = isRealFolder(kInstallDir) && isPresent(kInstalledVersionFile);
    if (newInstallationWhole || !versionAside) {
        // The update finished, or what stands aside was being discarded: not whole either way.
        discardSetAsideInstallation();
        logLine("previous installation removed");
        return Recovery::Removed;
    }
    if (treeAside) {
        // Whatever the update left goes; the tree comes back in its place.
        if (!removeTree(kInstallDir).ok() || !renamed(kSetAsideDir, kInstallDir))
            return Recovery::Nothing;
    } else if (!isRealFolder(kInstallDir)) {
        // A version file with no tree to go with it.
        removeSetAsideVersionFile();
        logLine("previous installation removed");
        return Recovery::Removed;
    }
    // The tree is back (or never left): its version file last makes it whole again.
    if (!renamed(kSetAsideVersionFile, kInstalledVersionFile))
        return Recovery::Nothing;
    logLine("previous installation restored");
    return Recovery::Restored;
}

#pragma once

// An update never leaves the user without a working Nembral. The wipe before an installation
// sets a whole installation (one with its version file) aside instead of deleting it: its
// version file first, out of the tree (so a tree caught halfway is never taken for whole), then
// the tree, each with one rename. Once the new tree is in place the set-aside one is discarded;
// when the update fails (the package cannot be had, the extraction tool refuses it) or the
// launcher died on the way, the set-aside installation comes back in place of whatever the
// update left, the tree first and its version file last.

// Sets a whole installation aside. True when there was one and it now stands aside; false when
// there was nothing whole to keep, or it could not be moved (then it stands as it was, and the
// caller wipes as before).
bool setAsideInstallation();

// Removes a set-aside installation for good, once the new one is in place: its version file
// first, so that a removal cut short leaves nothing that could be taken for whole. Logs nothing.
void discardSetAsideInstallation();

// What is left of an update that did not finish, put right: a set-aside installation that is
// whole comes back in place of what stands there; one that is not whole, or one whose update
// finished after all, is removed. Logs "previous installation restored" or "previous
// installation removed" when it did either, nothing when there was nothing to do.
enum class Recovery { Nothing,
                      Restored,
                      Removed };
Recovery recoverSetAsideInstallation();

// Removes the one file at `path`, if there is one, and logs nothing: what the launcher leaves
// nowhere else (the extraction's result, a refused package, a set-aside version file). A link
// on the way is followed, so a working folder whose "nembral" was moved elsewhere is served too.
void removeQuietly(const char *path);

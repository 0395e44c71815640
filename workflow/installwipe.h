#pragma once

// Clears the installed tree before an installation. A whole installation is set aside rather
// than deleted (workflow/previousinstall.h); what follows is the wipe of anything else. The extraction tool's version file marks
// a finished installation, so a new one must never start on top of a tree that still holds
// anything of an older one: its version file would end the new installation before the tool
// has written a byte. That file is removed before anything else, so a tree the wipe leaves
// half-removed never carries it. When the tree cannot be removed completely (a running copy
// of the application holds its executable, an entry without permission), one line on standard
// error names the entry and the system's reason, and the result is false: the caller shows the
// error page and starts nothing.
bool wipeInstalledTree();

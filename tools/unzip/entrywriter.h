#pragma once

#include "tools/unzip/archivereader.h"
#include "tools/unzip/entryplan.h"

#include <sys/types.h>

#include <atomic>
#include <string>

// Creating a plan's entries inside a directory given by a handle (directoryhandles.h). The
// tree being filled was made empty by the tool, so nothing is expected at any name: files are
// created with O_CREAT | O_EXCL | O_NOFOLLOW, which never opens or follows what is already
// there. Permissions come from the plan (set-id bits already removed) and pass through the
// umask; times are kept when the archive has them. Each function returns false with `error`
// set to one line.

// A new directory with room for its entries: owner permissions are added until
// finishDirectory() sets the archive's.
bool createDirectory(int parent, const PlannedDirectory &directory, std::string &error);

// The archive's permissions and times for a directory, once everything inside it is written.
bool finishDirectory(int parent, const PlannedDirectory &directory, mode_t umask, std::string &error);

bool writeLink(int parent, const PlannedEntry &entry, std::string &error);

// Writes the data of the reader's current entry, which is `entry`, into a new file, and with
// `flush` writes it through to the disk before closing it. Gives up between blocks once
// `abandon` is set or a stop is requested ("interrupted").
bool writeFile(ArchiveReader &reader, int parent, const PlannedEntry &entry, bool flush,
               const std::atomic<bool> &abandon, std::string &error);

// Writes the directory `directory` (its entries, permissions and times) through to the disk.
bool flushDirectory(int parent, const PlannedDirectory &directory, std::string &error);

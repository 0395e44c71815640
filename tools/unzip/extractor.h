#pragma once

#include "tools/unzip/archivefile.h"
#include "tools/unzip/entryplan.h"
#include "tools/unzip/nativehandle.h"

#include <cstddef>
#include <string>

struct ExtractOptions {
    // Most workers to use; each reads the archive on its own and writes the entries it takes.
    unsigned workers = 1;
    // Workers take consecutive entries in runs, handed out in archive order as they ask:
    // entries next to each other usually share a directory, so workers seldom create entries
    // in the same directory at once, and each reader passes over few entries of others. The
    // entries are cut into this many runs of about equal cost per worker; several let a worker
    // that is done early take over work from one that is held up. 1: a fixed split by size;
    // very large: one entry at a time.
    unsigned runsPerWorker = 8;
    // Pause after each entry. Zero in normal use; tests and demonstrations set it (through the
    // environment, see main.cpp) to make the extraction slow enough to be watched.
    unsigned entryDelayMs = 0;
    // How the tree reaches the disk before it is moved into place (staging.h).
    enum class Flush {
        // Each file's writeback started as it is closed, all of them waited for once every
        // entry is written, then each directory flushed: waits for the tree's data alone.
        StartedFiles,
        // Each file flushed before it is closed, each directory once it is finished.
        EachEntry,
        // Nothing here: one flush of the whole file system follows (syncfs), which also waits
        // for whatever other programs have written to it.
        FileSystem,
    };
    Flush flush = Flush::StartedFiles;
    // Decompress small deflated entries whole in memory (wholeentry.h) rather than through
    // libarchive's stream; off only to compare the two.
    bool wholeEntries = true;
};

struct ExtractResult {
    bool ok = false;
    std::size_t entries = 0;  // files and links written
    std::string error;        // one line, without the program name, when !ok
};

// How many workers are worth starting for `plan`, given at most `allowed`. Each extra worker
// costs a thread and its own reading of the archive's directory, and workers gain nothing on
// files in the same directory unless there are bytes to unpack, so a small archive, one with
// a single file, or one of small files in a single folder is extracted by the calling thread
// alone.
unsigned workersFor(const ExtractionPlan &plan, unsigned allowed);

// Writes what `plan` lists, with the data read from `file`, below the open, empty directory
// `tree`: the directories first, then the files and links, shared among the workers, then the
// directories' own permissions and times (each directory then flushed, unless the whole file
// system is to be).
// Stops at the first problem in any worker (damaged data, a failed write, a stop request): the
// other workers give up at their next block, and what was written up to then is left for the
// caller to remove.
ExtractResult extractPlan(const ArchiveFile &file, const ExtractionPlan &plan, NativeValue tree,
                          const ExtractOptions &options);

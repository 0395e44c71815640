#pragma once

#include <cstddef>
#include <string>

#include "platform/posix/uniquefd_posix.h"

// The body of a download while it arrives: a hidden file beside the destination,
// ".NAME.part-PID-N", which replaces the destination only when commit() is called and is
// removed otherwise. A failed, cut or stalled download so never leaves a file that looks
// complete, nor harms an earlier copy.
//
// The destination is `relative` below the directory `base` (the working directory). The folders
// on the way are made when missing; one that is a link to a folder (an installation moved to
// another disk, a link left in its place) is followed, as any path is. The destination's own
// name is used relative to the last of them: a link there is replaced, never written through.
//
// Complete before visible: only commit() gives the file the destination's name, once the whole
// body is in it. Nothing is flushed to the disk: a package is downloaded again by any run that
// needs it, and checked entry by entry before anything of it is installed.
//
// Opening also clears the part files of the same destination left by downloads whose process
// died (kill -9, power loss): only names with that exact prefix and the id of a process that
// no longer exists are removed, so a live download's file is left alone.
class PartFile {
public:
    PartFile(std::string base, std::string relative);
    ~PartFile();
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    // Creates the file, and the folders on the way to it, on first use; later calls do
    // nothing. 0 on success, else an errno value.
    int open();
    // 0 on success, else an errno value.
    int write(const char *data, std::size_t size);
    // Closes the file and puts it in place of the destination; 0 on success, else an errno
    // value.
    int commit();

private:
    std::string base_;
    std::string relative_;
    UniqueFd directory_;    // the destination's folder
    std::string name_;      // the destination's name in it
    std::string partName_;  // the part file's name in it, while there is one
    UniqueFd fd_;
};

#pragma once

#include <cstddef>
#include <string>

#include "platform/posix/uniquefd_posix.h"

// The body of a download while it arrives: a hidden file beside the destination,
// ".NAME.part-PID-N", which replaces the destination only when commit() is called and is
// removed otherwise. A failed, cut or stalled download so never leaves a file that looks
// complete, nor harms an earlier copy.
//
// The destination is `relative` below the directory `base` (the working directory). `base` is
// taken as it is; below it no link is ever followed: the folders on the way are made as real
// folders or must be real folders already (a link there fails the open with ENOTDIR), and every
// name is then used relative to the last of them, opened without following links. So the
// download never writes into a folder that a link leads to from inside the working directory,
// and a link at the destination's own name is replaced, never written through.
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
    // Closes the file and puts it in place of the destination; 0 on success, else an errno value.
    int commit();

private:
    std::string base_;
    std::string relative_;
    UniqueFd directory_;   // the destination's folder
    std::string name_;     // the destination's name in it
    std::string partName_; // the part file's name in it, while there is one
    UniqueFd fd_;
};

#pragma once

#include <cstddef>
#include <string>

#include "platform/posix/uniquefd_posix.h"

// The body of a download while it arrives: a hidden file beside the destination,
// ".NAME.part-PID-N", which replaces the destination only when commit() is called and is
// removed otherwise. A failed, cut or stalled download so never leaves a file that looks
// complete, nor harms an earlier copy.
//
// Opening also clears the part files of the same destination left by downloads whose process
// died (kill -9, power loss): only names with that exact prefix and the id of a process that
// no longer exists are removed, so a live download's file is left alone.
class PartFile {
public:
    explicit PartFile(std::string destination);
    ~PartFile();
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    // Creates the file, and the directories on the way to it, on first use; later calls do
    // nothing. 0 on success, else an errno value.
    int open();
    // 0 on success, else an errno value.
    int write(const char *data, std::size_t size);
    // Closes the file and puts it in place of the destination; 0 on success, else an errno value.
    int commit();

private:
    std::string destination_;
    std::string path_;
    UniqueFd fd_;
};

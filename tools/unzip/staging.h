#pragma once

#include "tools/unzip/nativehandle.h"

#include <cstddef>
#include <memory>
#include <string>

// Where an extraction is built before it becomes visible. The staging directory lies inside
// the destination directory (same file system, so the final moves are renames), belongs to
// its owner alone (on POSIX) and has a name beginning with ".unzip-". The installed tree, and
// with it its version file, therefore appears only in one step at the end: an extraction that
// fails or is killed never leaves a partial tree under the names the launcher looks at.
class StagingDirectory {
public:
    // Creates a fresh staging directory in the open destination directory `destination`
    // (directoryops.h), called `destinationName` in messages. Null with `error` set on failure.
    static std::unique_ptr<StagingDirectory> create(NativeValue destination, const std::string &destinationName,
                                                    std::string &error);

    // Removes the staging directory with whatever is left in it.
    ~StagingDirectory();
    StagingDirectory(const StagingDirectory &) = delete;
    StagingDirectory &operator=(const StagingDirectory &) = delete;

    // A handle on the (empty) directory to extract into.
    NativeValue tree() const { return tree_.get(); }

    // Writes the extracted tree through to the disk before moveIntoPlace() makes it visible:
    // after a power cut, a name in the destination then never stands for a file that is empty
    // or short. With `wholeFileSystem`, one flush of the file system the tree is on (every file
    // and folder in it at once); without, only the top of the tree, the extraction having
    // flushed the entries itself (ExtractOptions::flush; always so on Windows, where only an
    // administrator may flush a whole volume: canFlushFileSystem()). False with `error` set.
    bool flush(bool wholeFileSystem, std::string &error);

    // Moves every top-level entry of tree() to the destination, replacing what is there under
    // the same name (the replaced entry, a link included, is moved aside without being
    // followed and removed with the staging directory). Entries holding a "version.txt" go
    // last, so the marker of a complete installation is the last thing to appear. Then the
    // destination is flushed, so that the moves themselves are on the disk. False with `error`
    // set on failure; entries already moved stay in place.
    bool moveIntoPlace(std::string &error);

private:
    StagingDirectory(NativeValue destination, std::string destinationName, std::string rootName)
        : destination_(destination), destinationName_(std::move(destinationName)), rootName_(std::move(rootName))
    {
    }

    NativeValue destination_;  // not owned
    std::string destinationName_;
    std::string rootName_;  // ".unzip-<unique>" in the destination
    NativeHandle root_;
    NativeHandle tree_;      // root/tree: the extraction
    NativeHandle replaced_;  // root/replaced: what the new tree displaced
};

// Removes staging directories left in the open destination directory `destination` by an
// extraction that was killed. Only call it while holding the extraction mutex, so that no
// running extraction is touched. Returns how many were removed.
std::size_t removeStaleStaging(NativeValue destination);

#pragma once

#include "tools/unzip/nativehandle.h"

#include <string>
#include <vector>

// Names inside directories the tool holds handles on. After the destination is opened by its
// path, everything the tool makes, opens, moves or removes is named relative to a handle it
// opened itself, one name at a time, so a link (a symbolic link, or on Windows a junction or
// any other reparse point) put anywhere in the tree meanwhile is never followed on the way.
// Each function gives the system's reason in `reason` (one line, no name) when it fails.

// The destination directory, opened for the extraction: created when missing (with its
// parents). A link to a folder there (on Windows a symbolic link or junction) is followed (an
// installation moved to another disk, with a link left in its place) and stays as it is: the
// tree lands in the folder it points to. Everything afterwards is done relative to this
// handle, so the name being replaced meanwhile changes nothing. Invalid with `error` set (one
// line, naming the path as `given`) on failure, a link to nothing among them.
NativeHandle openDestination(const std::string &given, std::string &error);

// Opens the directory `name` in `parent` for making and opening entries inside it. A link
// under that name is refused, never followed.
NativeHandle openDirectoryAt(NativeValue parent, const std::string &name, std::string &reason);

// Makes the directory `name` in `parent`, with `permissions` where the system has them (less
// the umask; Windows gives it the access its parent passes on). False with `exists` set when
// something is there already.
bool makeDirectoryAt(NativeValue parent, const std::string &name, unsigned permissions, bool &exists,
                     std::string &reason);

// Whether anything at all (a link, even a dangling one, included) has the name `name` in
// `directory`.
bool existsAt(NativeValue directory, const std::string &name);

struct DirectoryEntry {
    std::string name;
    bool isDirectory = false;  // a real directory; a link to one is not
};

// The names in `directory` (without "." and ".."). False when it cannot be read.
bool listDirectory(NativeValue directory, std::vector<DirectoryEntry> &entries, std::string &reason);

// Moves the entry `name` of `from` to `to` under the same name, both on one file system; a
// link is moved itself, never what it points to. The caller makes sure `to` has nothing of
// that name (POSIX would replace a file there, Windows refuses). On Windows an entry that
// another program holds for a moment (a virus scanner) is waited for, a few seconds at most.
bool moveEntry(NativeValue from, const std::string &name, NativeValue to, std::string &reason);

// Writes the directory open as `directory` (its entries) through to the disk. A file system
// that has no flush for a directory (on Windows FAT, exFAT, network shares) is no failure.
bool flushOpenDirectory(NativeValue directory, std::string &reason);

// Writes everything on the file system that holds `directory` through to the disk, in one go.
// Only where canFlushFileSystem().
bool flushFileSystemOf(NativeValue directory, std::string &reason);

// Whether this process may flush a whole file system: on POSIX (syncfs) it may; on Windows only
// an administrator may flush a volume, so every file and folder is flushed on its own instead.
bool canFlushFileSystem();

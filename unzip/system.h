#pragma once

// What the tool needs from the system it runs on, with one body per system (system_posix.cpp,
// system_win.cpp): the handle type, names relative to directory handles, tree removal, stop
// requests and the process. The shared parts of the tool include no system header.

#include "platform/result.h"
#include "platform/uniquehandle.h"

#include <cstdint>
#include <string>
#include <vector>

// A handle of the system the tool runs on, held as a number so that the parts of the tool
// shared by both systems need no system header: a file descriptor on POSIX, a kernel HANDLE on
// Windows. The system-specific bodies (*_posix.cpp, *_win.cpp) are the only ones that make
// such handles and look inside them.
using NativeValue = std::intptr_t;
inline constexpr NativeValue kNoHandle = -1;

// Closes a handle (defined by each system's body): 0, or the system's error code.
int closeNativeHandle(NativeValue value);

struct NativeHandleTraits {
    using Value = NativeValue;
    static NativeValue none() { return kNoHandle; }
    static bool valid(NativeValue value) { return value != kNoHandle; }
    static int close(NativeValue value) { return closeNativeHandle(value); }
};

// Owns a handle and closes it once.
using NativeHandle = UniqueHandle<NativeHandleTraits>;

// Names inside directories the tool holds handles on. After the destination is opened by its
// path, everything the tool makes, opens, moves or removes is named relative to a handle it
// opened itself, one name at a time, so a link (a symbolic link, or on Windows a junction or
// any other reparse point) put anywhere in the tree meanwhile is never followed on the way.
// Each function fails with the system's reason (one line, no name) and error code.

// The destination directory, opened for the extraction: created when missing (with its
// parents). A link to a folder there (on Windows a symbolic link or junction) is followed (an
// installation moved to another disk, with a link left in its place) and stays as it is: the
// tree lands in the folder it points to. Everything afterwards is done relative to this
// handle, so the name being replaced meanwhile changes nothing. Fails with one line naming the
// path as `given`, a link to nothing among them.
Result<NativeHandle> openDestination(const std::string &given);

// Opens the directory `name` in `parent` for making and opening entries inside it. A link
// under that name is refused, never followed.
Result<NativeHandle> openDirectoryAt(NativeValue parent, const std::string &name);

// Makes the directory `name` in `parent`, with `permissions` where the system has them (less
// the umask; Windows gives it the access its parent passes on). Fails as alreadyThere() when
// something is there already.
Result<> makeDirectoryAt(NativeValue parent, const std::string &name, unsigned permissions);

// Whether `failure` is that of a name already taken.
bool alreadyThere(const Failure &failure);

// Whether anything at all (a link, even a dangling one, included) has the name `name` in
// `directory`.
bool existsAt(NativeValue directory, const std::string &name);

struct DirectoryEntry {
    std::string name;
    bool isDirectory = false;  // a real directory; a link to one is not
};

// The names in `directory` (without "." and "..").
Result<std::vector<DirectoryEntry>> listDirectory(NativeValue directory);

// Moves the entry `name` of `from` to `to` under the same name, both on one file system; a
// link is moved itself, never what it points to. The caller makes sure `to` has nothing of
// that name (POSIX would replace a file there, Windows refuses). On Windows an entry that
// another program holds for a moment (a virus scanner) is waited for, a few seconds at most.
Result<> moveEntry(NativeValue from, const std::string &name, NativeValue to);

// Writes the directory open as `directory` (its entries) through to the disk. A file system
// that has no flush for a directory (on Windows FAT, exFAT, network shares) is no failure.
Result<> flushOpenDirectory(NativeValue directory);

// Writes everything on the file system that holds `directory` through to the disk, in one go.
// Only where canFlushFileSystem().
Result<> flushFileSystemOf(NativeValue directory);

// Whether this process may flush a whole file system: on POSIX (syncfs) it may; on Windows only
// an administrator may flush a volume, so every file and folder is flushed on its own instead.
bool canFlushFileSystem();

// Removes `name` in the directory `parent` and, when it is a directory, everything below it.
// Links are removed, never followed, so nothing outside the tree is touched. Directories the
// archive made read-only (on Windows, read-only files) are opened up for their owner first.
// True when nothing is left under that name (also when there was nothing).
bool removeTreeAt(NativeValue parent, const std::string &name);

// Interruption: SIGINT, SIGTERM (and SIGHUP where it exists) on POSIX; Ctrl+C, Ctrl+Break and
// the closing of the console on Windows. The handler only records the request; the extraction
// checks it between blocks and unwinds normally, so the temporary directory is removed and the
// mutex released as on any other failure. A kill (SIGKILL, TerminateProcess) cannot be caught;
// what it leaves behind is never taken for an installation (see extract.h).
void installStopHandlers();
bool stopRequested();

// Records a stop request; safe in a signal handler and from any thread.
void requestStop();

// Sleeps up to `milliseconds`, returning early once a stop is requested.
void sleepUnlessStopped(unsigned milliseconds);

// What the extraction tool needs from its process, per system.

// The command-line arguments after the program name, as UTF-8 (on Windows read from the
// wide command line, so that any file name comes through).
std::vector<std::string> toolArguments(int argc, char **argv);

// Settings made once at start, before any thread: on POSIX the locale that names files in
// UTF-8 and a fixed time zone file (see the body).
void prepareProcess();

// The processors this process may run on.
unsigned availableCores();

// Names the calling thread, so that the tool's workers can be told apart in a process list.
void nameCurrentThread(const char *name);

#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// What the extraction tests look at that each system shows in its own way: the tool's named
// worker threads, file permissions, links, arrivals in a folder, and how a running tool is
// asked to stop or started without a console. One body per system (toolsystem_posix.cpp,
// toolsystem_win.cpp).

// Threads of process `pid` that the tool named "unzip worker" (its main thread not included).
int namedWorkerThreads(qint64 pid);

// Whether files carry POSIX permissions (owner, group, others; executable bits). Windows
// files get the access their folder passes on.
bool filesHavePermissions();

// `permissions` as the process umask leaves them for a new file.
int masked(int permissions);

// The permission bits of `path` itself (a link is not followed); -1 when it is missing.
int permissionsOf(const QString &path);

// Whether the tool can make the symbolic links an archive holds: always on POSIX; on Windows
// only with the right to make them, which wine 8 never grants (it makes no links at all).
bool symbolicLinksCanBeMade();

// Makes `link` a symbolic link to the folder `target` (which may be missing). False when this
// system makes none here.
bool makeFolderLink(const QString &target, const QString &link);

// Whether `path` itself is a link to a folder. On Windows any reparse point counts: wine shows
// a Unix symbolic link as one.
bool isFolderLink(const QString &path);

// Holds the file or folder `path` open for reading as a virus scanner does, without delete
// sharing, while the result lives: on Windows neither it nor a folder above it can be renamed
// or removed meanwhile. Null where the system has no such sharing (POSIX) or the open failed.
std::shared_ptr<void> holdWithoutDeleteSharing(const QString &path);

// Makes every flush of a file or folder by this program, the tool's code linked into it
// included, fail with the system error `error` while the result lives. Null where the system's
// answer cannot be replaced (POSIX).
std::shared_ptr<void> refuseFlushes(int error);

// Records what appears in and disappears from one directory (not below it), in order, as
// "created NAME", "moved in NAME", "moved out NAME", "deleted NAME". Null where the system
// cannot tell a name moved in from one created in place.
class DirectoryEvents {
public:
    static std::unique_ptr<DirectoryEvents> watch(const QString &dir);
    virtual ~DirectoryEvents() = default;
    virtual QStringList take() = 0;  // the events so far
};

// Starts `program` with standard error a pipe whose reader has gone (a console that was
// closed), in `workingDirectory`. True once it has started.
bool startWithLostStandardError(QProcess &process, const QString &program, const QStringList &args,
                                const QString &workingDirectory);

// Lets the process started with `process` be asked to stop (prepareForStopRequest, before
// starting it), then asks: SIGTERM on POSIX, Ctrl+C in its own console on Windows. False when
// the request could not be sent.
void prepareForStopRequest(QProcess &process);
bool requestStop(QProcess &process);

// Whether the tool's file system calls can be recorded in order (strace, on Linux).
bool systemCallsCanBeRecorded();

// How a line the tool writes to the console ends: "\n", on Windows "\r\n" (a console
// program's streams are in text mode there).
QByteArray consoleLineEnd();

#pragma once

#include <QList>
#include <QMap>
#include <QString>

#include "support/launcherprocess.h"

#include <sys/types.h>

// The system-level tools of the fault rows: file systems mounted on a working directory, an
// entry that cannot be removed, pipes whose reader has gone, and looking at processes the
// launcher started (which are not the test's children).

bool runningAsRoot();

// A tmpfs of `kilobytes` mounted on `path` for the object's lifetime. Root only.
class TmpfsMount {
public:
    TmpfsMount() = default;
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;

    // Empty on success, otherwise why not.
    QString mount(const QString &path, int kilobytes);
    QString remountReadOnly();
    // Unmounts (lazily if something still uses it); true when nothing is left mounted.
    bool unmount();
    // Kilobytes in use on it.
    qint64 usedKb() const;

private:
    QString path_;
    int kilobytes_ = 0;
};

// Keeps `path` from being removed for the object's lifetime: as root with the immutable
// attribute (which also stops root), otherwise by taking the write permission of its folder.
class UnremovableEntry {
public:
    UnremovableEntry() = default;
    ~UnremovableEntry();
    UnremovableEntry(const UnremovableEntry &) = delete;
    UnremovableEntry &operator=(const UnremovableEntry &) = delete;

    // Empty on success, otherwise why not.
    QString make(const QString &path);
    // The system's text for the refusal ("Operation not permitted" or "Permission denied").
    QString reason() const;
    void release();

private:
    int fd_ = -1;        // the immutable file, as root
    int folderFd_ = -1;  // the folder without write permission, otherwise
};

// The write end of a pipe whose read end is already closed (-1 on failure); close-on-exec, so
// only the child that is given it keeps it.
int pipeWithoutReader();

// Finding the processes a launcher started: support/launcherprocess.h.
// The peak resident memory of `pid` so far, in kilobytes (0 when it cannot be read).
qint64 peakMemoryKb(pid_t pid);

// Everything below `dir` (hidden entries too), each with its type, permissions, size, time of
// change and content digest (or link target), for telling whether anything changed.
QMap<QString, QString> snapshot(const QString &dir);
// The differences between two snapshots, one per line; empty when none.
QString differences(const QMap<QString, QString> &before, const QMap<QString, QString> &after);

// Every entry below `dir`, relative, sorted; links as "name -> target" and not followed.
QStringList diskListing(const QString &dir);

#pragma once

#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// What a program did to the file system, as strace records it (-f: every thread and child;
// -y: every descriptor shown with the path it stands for), in the order the calls completed.
struct SystemCall {
    QString name;       // "pwrite64", "fdatasync", "renameat", ...
    QStringList paths;  // the paths the call names: descriptors resolved, "dir/name" pairs joined
    bool ok = false;    // returned without an error
};

// Runs `program` with `arguments` under strace and returns its file calls; empty with `error`
// set when strace cannot run it. `exitCode` is the program's own.
QList<SystemCall> recordFileCalls(const QString &program, const QStringList &arguments,
                                  const QProcessEnvironment &environment, int &exitCode, QString &error);

// Checks that a program published what it wrote below the folder `destination` the way that
// survives a power cut, and returns every breach (none: the protocol was kept):
//   - a publishing rename is one into `destination`; the last of them moves `lastName` there
//     (the entry holding the marker), so the marker becomes visible last;
//   - everything such a rename makes visible was flushed before it: each file written below
//     the renamed entry after its last write (fsync or fdatasync of that file, or a syncfs of
//     the file system), and each entry created below it by a flush of its folder afterwards;
//   - `destination` itself is flushed after the last publishing rename.
// `destination` is its canonical path, as the recorded paths are.
QStringList flushProtocolBreaches(const QList<SystemCall> &calls, const QString &destination, const QString &lastName);

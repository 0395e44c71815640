#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Files and folders as the tests make and inspect them.

// The contents of `path`; empty when it cannot be read.
QByteArray readAll(const QString &path);

// Writes `data` to `path`, creating parent directories.
bool writeFile(const QString &path, const QByteArray &data);
// The same, then makes the file executable by its owner (scripts that tests run).
bool writeExecutable(const QString &path, const QByteArray &data);

// Every entry below `dir`, hidden ones and folders included, relative to it and sorted:
// shows leftovers such as temporary files. Links to folders are listed, not followed.
QStringList entriesBelow(const QString &dir);

// How many files (hidden ones included, folders not) lie below `dir`, at any depth.
int filesBelow(const QString &dir);

// Makes `path` (and its parents) a folder only its owner may enter, as the per-user runtime
// directory that holds named mutexes must be.
bool makePrivateDir(const QString &path);

// A suite's scratch folder, removed at the end, and a fresh empty working directory below it
// for each test: the code under test works relative to the working directory.
class ScratchDir {
public:
    ScratchDir();

    bool isValid() const { return root_.isValid(); }
    QString path() const { return root_.path(); }
    QString filePath(const QString &name) const { return root_.filePath(name); }

    // Makes the next folder ("work1", "work2", ...) and enters it. Call from init().
    bool enterFreshWorkDir();
    // The folder entered last.
    QString workDir() const { return workDir_; }
    // Back to the working directory the process had when the scratch folder was made. Call
    // from cleanup().
    void leaveWorkDir() const;

private:
    QTemporaryDir root_;
    QString startDir_;
    QString workDir_;
    int rounds_ = 0;
};

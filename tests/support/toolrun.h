#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// What the extraction tool suites share: a program (unzip.exe, or a program that makes or signs
// packages) run to its end with its output captured, and the folders each test works in.

struct ToolRun {
    int exitCode = -1;  // -1 when it crashed, did not start or did not finish
    QProcess::ExitStatus status = QProcess::CrashExit;
    QByteArray stdErr;  // also says why when it did not start or did not finish
    QByteArray stdOut;
};

// Runs `program` and waits up to a minute for it to start (seconds under wine on a busy
// machine), two for it to finish (then it is killed).
ToolRun runProgram(const QString &program, const QStringList &args,
                   const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());

// The folders of an extraction suite, for the suite's class to inherit.
class ToolFolders {
protected:
    // For initTestCase: named mutexes live in the per-user runtime directory, and a private
    // one keeps other users of the tool's mutex (other suites, a launcher) out of the suite's
    // observations. False when it cannot be made.
    bool usePrivateRuntimeDir();
    // For init: a fresh temporary folder with an empty destination "nembral" in it. Empty on
    // success, else why the test cannot run (another extraction holds the mutex, say).
    QString freshDestination();

    QTemporaryDir runtimeDir_;
    std::unique_ptr<QTemporaryDir> tmp_;
    QString dest_;
};

#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

#include <sys/types.h>

// The real launcher executable run as a child process in a working directory of its own, with
// its console log collected line by line as it comes.
//
// Its standard output and error go to files, not pipes: the programs it starts inherit them
// and may still write after the launcher has gone, when a pipe would have lost its reader and
// killed them with SIGPIPE.
class LauncherProcess {
public:
    LauncherProcess() = default;
    ~LauncherProcess();
    LauncherProcess(const LauncherProcess &) = delete;
    LauncherProcess &operator=(const LauncherProcess &) = delete;

    bool start(const QString &program, const QString &workDir, const QProcessEnvironment &environment,
               const QStringList &arguments = {});
    // Runs in the child between fork and exec, after its standard channels are set up (to
    // give it other ones). Set before start().
    void setChildSetup(const std::function<void()> &setup) { process_.setChildProcessModifier(setup); }
    qint64 processId() const { return process_.processId(); }

    // Reads output until `done` holds for the lines so far, the launcher exits or `timeoutMs`
    // passes. True when `done` held.
    bool waitUntil(const std::function<bool(const QStringList &)> &done, int timeoutMs);
    bool waitForLine(const QString &line, int timeoutMs);
    // How many times `line` has been logged so far.
    int count(const QString &line) const { return static_cast<int>(out_.count(line)); }

    // Waits for the launcher to exit on its own; false if it is still running after `timeoutMs`.
    bool waitForExit(int timeoutMs);
    bool running() const { return process_.state() != QProcess::NotRunning; }
    int exitCode() const { return process_.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return process_.exitStatus(); }
    // Milliseconds since start.
    qint64 elapsed() const { return clock_.elapsed(); }
    // Milliseconds from start to when `line` was first read; -1 if it has not been.
    qint64 timeOf(const QString &line) const;

    // Standard output and standard error lines read so far.
    const QStringList &out() const { return out_; }
    const QStringList &err() const { return err_; }

    // Kills a launcher that waits on a page, and reaps it.
    void kill();

private:
    void readAvailable();
    static void split(QByteArray &pending, const QByteArray &chunk, QStringList &lines, QList<qint64> *times,
                      qint64 now);

    QTemporaryDir logs_;
    QFile outFile_;
    QFile errFile_;
    QProcess process_;
    QElapsedTimer clock_;
    QByteArray pendingOut_;
    QByteArray pendingErr_;
    QStringList out_;
    QList<qint64> outTimes_;
    QStringList err_;
};

// Filters: the lines a download worker writes (percentages, notifications, error codes) and
// the lines the GUI thread writes, in the order each wrote them.
QStringList downloadErrorLines(const QStringList &lines);

// The launcher detaches what it runs, so the programs it started are not the test's children:
// they are found in /proc, by their working directory, which lies in the launcher's.

// Processes, other than this one, whose working directory is `dir` or below it (also one that
// was removed meanwhile).
QList<pid_t> processesWorkingIn(const QString &dir);
// The extraction tool started by a launcher in `workDir` ("unzip.exe nembral/nembral.zip
// nembral"; it may work from a directory of its own below), or 0.
pid_t extractionToolIn(const QString &workDir);
// Gone, or a zombie waiting for whoever adopted it.
bool processGone(pid_t pid);

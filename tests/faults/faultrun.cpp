#include "faultrun.h"

#include "faultpackage.h"
#include "support/launcherprocess.h"
#include "support/logcapture.h"
#include "support/polling.h"
#include "support/testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

namespace {

// How long a launcher on a page must stay silent to count as waiting there.
constexpr int kQuietMs = 2000;
// How long a started application may take to note its start.
constexpr int kStartNoteMs = 5000;

const QString kPackageStart = QStringLiteral("downloadCompleteApplication");

QStringList linesOf(const QString &path)
{
    QStringList lines = QString::fromLocal8Bit(readAll(path)).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool matchesTail(const QStringList &lines, const QStringList &tail)
{
    if (tail.isEmpty() || lines.size() < tail.size())
        return tail.isEmpty();
    for (qsizetype i = 0; i < tail.size(); ++i) {
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(tail.at(i)));
        if (!pattern.match(lines.at(lines.size() - tail.size() + i)).hasMatch())
            return false;
    }
    return true;
}

// A percentage the worker logged after the package download began.
bool packageProgressLogged(const QStringList &out)
{
    static const QRegularExpression percent(QStringLiteral("^[1-9]\\d*$"));
    const qsizetype start = out.indexOf(kPackageStart);
    if (start < 0)
        return false;
    for (qsizetype i = start + 1; i < out.size(); ++i)
        if (percent.match(out.at(i)).hasMatch())
            return true;
    return false;
}

// Rows run on plain threads with no event loop of their own: sleep between checks.
bool pollFor(const std::function<bool()> &condition, qint64 timeoutMs)
{
    return pollUntil(condition, timeoutMs, [] { QThread::msleep(25); });
}

class RowRunner {
public:
    RowRunner(const FaultRow &row, FaultWorld &world, FaultOutcome &outcome)
        : row_(row), world_(world), outcome_(outcome)
    {
        clock_.start();
    }

    void act();

private:
    qint64 remainingMs() const { return std::max<qint64>(0, qint64(row_.boundSeconds) * 1000 - clock_.elapsed()); }
    void problem(const QString &text) { outcome_.problems << text; }

    bool start(LauncherProcess &launcher, int unzipDelayMs = 0)
    {
        launchers_ << &launcher;
        if (!launcher.start(world_.launcher(), world_.work, world_.environment(unzipDelayMs))) {
            problem(QStringLiteral("the launcher did not start"));
            return false;
        }
        return true;
    }

    void sample()
    {
        for (LauncherProcess *launcher : std::as_const(launchers_))
            if (launcher->running())
                outcome_.peakMemoryKb = std::max(outcome_.peakMemoryKb, peakMemoryKb(pid_t(launcher->processId())));
    }

    // Waits, within the row's bound, until `done` holds for the launcher's output.
    bool waitFor(LauncherProcess &launcher, const std::function<bool(const QStringList &)> &done)
    {
        return launcher.waitUntil(
            [&](const QStringList &out) {
                sample();
                return done(out);
            },
            int(remainingMs()));
    }

    bool waitForExit(LauncherProcess &launcher)
    {
        while (launcher.running() && remainingMs() > 0) {
            sample();
            launcher.waitForExit(100);
        }
        return !launcher.running();
    }

    // Waits for the end the row describes, then ends the launcher if it is still open.
    void awaitEnd(LauncherProcess &launcher)
    {
        switch (row_.end) {
        case End::Exit:
            waitForExit(launcher);
            break;
        case End::ErrorPage:
        case End::QuestionPage:
            if (waitFor(launcher, [&](const QStringList &out) { return matchesTail(guiLines(out), row_.tail); })) {
                const qsizetype seen = launcher.out().size();
                launcher.waitUntil([&](const QStringList &out) { return out.size() > seen; }, kQuietMs);
                outcome_.quietAtEnd = launcher.running() && launcher.out().size() == seen;
            }
            break;
        case End::Copying:
            // The tracker logs every second while it waits; three ticks without the tool are
            // enough to see that it will wait for good.
            if (waitFor(launcher, [&](const QStringList &out) {
                    return matchesTail(guiLines(out), row_.tail) && out.count(QStringLiteral("file not found")) >= 3;
                }))
                outcome_.quietAtEnd = launcher.running();
            break;
        }
        finish(launcher);
    }

    // Records how the launcher ended (ending it first when it is still open) and what it wrote.
    void finish(LauncherProcess &launcher)
    {
        outcome_.isLauncher = true;
        launchers_.removeAll(&launcher);
        outcome_.exited = !launcher.running();
        launcher.kill();
        launcher.waitForExit(1000);
        if (outcome_.exited) {
            outcome_.crashed = launcher.exitStatus() == QProcess::CrashExit;
            outcome_.exitCode = launcher.exitCode();
        }
        outcome_.out = launcher.out();
        outcome_.err = launcher.err();
        noteLines(launcher);
    }

    void noteLines(const LauncherProcess &launcher)
    {
        for (const QStringList *lines : {&launcher.out(), &launcher.err()})
            for (const QString &line : *lines)
                outcome_.longestLine = std::max<int>(outcome_.longestLine, int(line.toLocal8Bit().size()));
    }

    // Ends a launcher that is not the row's last, noting what it wrote.
    void dismiss(LauncherProcess &launcher)
    {
        launchers_.removeAll(&launcher);
        launcher.kill();
        noteLines(launcher);
    }

    void launchOnce();
    void launchOutputGone();
    void launchVanishingDir();
    void launchTwiceFixed();
    void killDownload();
    void killExtraction();
    void twoTogether();
    void secondDuringExtraction();
    void unzip(bool outputGone);

    const FaultRow &row_;
    FaultWorld &world_;
    FaultOutcome &outcome_;
    QElapsedTimer clock_;
    QList<LauncherProcess *> launchers_;
};

void RowRunner::act()
{
    switch (row_.act) {
    case Act::Launch:
        launchOnce();
        break;
    case Act::LaunchOutputGone:
        launchOutputGone();
        break;
    case Act::LaunchVanishingDir:
        launchVanishingDir();
        break;
    case Act::LaunchTwiceFixed:
        launchTwiceFixed();
        break;
    case Act::KillDownload:
        killDownload();
        break;
    case Act::KillExtraction:
        killExtraction();
        break;
    case Act::TwoLaunchersTogether:
        twoTogether();
        break;
    case Act::SecondDuringExtraction:
        secondDuringExtraction();
        break;
    case Act::Unzip:
        unzip(false);
        break;
    case Act::UnzipOutputGone:
        unzip(true);
        break;
    }
}

void RowRunner::launchOnce()
{
    LauncherProcess launcher;
    if (start(launcher, row_.unzipDelayMs))
        awaitEnd(launcher);
}

void RowRunner::launchOutputGone()
{
    const int pipe = pipeWithoutReader();
    if (pipe < 0) {
        problem(QStringLiteral("no pipe"));
        return;
    }
    LauncherProcess launcher;
    // As a shell leaves it for the programs of a pipeline: SIGPIPE at its default, which ends
    // a program that writes to a pipe nobody reads any more.
    launcher.setChildSetup([pipe] {
        (void)::signal(SIGPIPE, SIG_DFL);  // cannot fail for SIGPIPE
        ::dup2(pipe, STDOUT_FILENO);
        ::dup2(pipe, STDERR_FILENO);
    });
    const bool started = start(launcher);
    ::close(pipe);
    if (!started)
        return;
    awaitEnd(launcher);
    if (!outcome_.out.isEmpty() || !outcome_.err.isEmpty())
        problem(QStringLiteral("the launcher's output reached the log files, not the pipe"));
}

void RowRunner::launchVanishingDir()
{
    const bool rootHadNembral = QFileInfo::exists(QStringLiteral("/nembral"));
    const bool rootHadVersion = QFileInfo::exists(QStringLiteral("/version.txt"));
    LauncherProcess launcher;
    if (!start(launcher))
        return;
    if (!waitFor(launcher, packageProgressLogged)) {
        problem(QStringLiteral("the package download never showed progress"));
        finish(launcher);
        return;
    }
    if (!QDir(world_.work).removeRecursively() || QFileInfo::exists(world_.work))
        problem(QStringLiteral("could not delete the working directory"));
    awaitEnd(launcher);
    if (!rootHadNembral && QFileInfo::exists(QStringLiteral("/nembral")))
        problem(QStringLiteral("/nembral was created"));
    if (!rootHadVersion && QFileInfo::exists(QStringLiteral("/version.txt")))
        problem(QStringLiteral("/version.txt was created"));
}

void RowRunner::launchTwiceFixed()
{
    {
        LauncherProcess first;
        if (!start(first))
            return;
        // However the broken package's run ends, it has ended once the launcher has given up
        // (error page) or the tracker has looked for the marker three times.
        waitFor(first, [](const QStringList &out) {
            return out.contains(QStringLiteral("Could not find Nembral"))
                   || out.contains(QStringLiteral("Start Nembral")) || out.count(QStringLiteral("file not found")) >= 3;
        });
        dismiss(first);
    }
    world_.endStrayProcesses();
    if (QString error = world_.publish(Package::Good); !error.isEmpty()) {
        problem(error);
        return;
    }
    LauncherProcess second;
    if (start(second))
        awaitEnd(second);
}

void RowRunner::killDownload()
{
    {
        LauncherProcess first;
        if (!start(first))
            return;
        if (!waitFor(first, packageProgressLogged)) {
            problem(QStringLiteral("the package download never showed progress"));
            dismiss(first);
            return;
        }
        dismiss(first);
    }
    const QStringList parts = QDir(world_.work + QStringLiteral("/nembral"))
                                  .entryList({QStringLiteral(".nembral.zip.part-*")}, QDir::Files | QDir::Hidden);
    if (parts.isEmpty())
        problem(QStringLiteral("the killed download left no partial file to clear"));
    LauncherProcess second;
    if (start(second))
        awaitEnd(second);
}

void RowRunner::killExtraction()
{
    {
        LauncherProcess first;
        if (!start(first, row_.unzipDelayMs))
            return;
        if (!waitFor(first, [](const QStringList &out) { return out.contains(QStringLiteral("Mutex does exist")); })) {
            problem(QStringLiteral("the first run never waited for the extraction"));
            dismiss(first);
            return;
        }
        pid_t tool = 0;
        if (!pollFor([&] { return (tool = extractionToolIn(world_.work)) != 0; }, 5000)
            || !pollFor([&] { return filesBelow(world_.work + QStringLiteral("/nembral")) > 6; }, 20000)) {
            problem(QStringLiteral("the extraction tool was not caught midway"));
            dismiss(first);
            return;
        }
        ::kill(tool, SIGKILL);
        if (!pollFor([&] { return processGone(tool); }, 10000))
            problem(QStringLiteral("the extraction tool did not die"));
        const qsizetype seen = first.out().size();
        waitFor(first, [seen](const QStringList &out) {
            return out.mid(seen).count(QStringLiteral("file not found")) >= 2;
        });
        const QStringList gui = guiLines(first.out());
        if (gui.contains(QStringLiteral("UNZIP complete!")) || gui.contains(QStringLiteral("Start Nembral")))
            problem(QStringLiteral("the first run took the killed extraction for complete"));
        if (gui.count(QStringLiteral("file not found")) < 2 || !first.running())
            problem(QStringLiteral("the first run did not keep waiting for the marker"));
        dismiss(first);
    }
    LauncherProcess second;
    if (start(second))
        awaitEnd(second);
}

void RowRunner::twoTogether()
{
    LauncherProcess first;
    LauncherProcess second;
    if (!start(first) || !start(second))
        return;
    awaitEnd(second);
    if (!waitForExit(first) || first.exitStatus() != QProcess::NormalExit || first.exitCode() != 0)
        problem(QStringLiteral("the first launcher did not exit with 0:\n") + guiLines(first.out()).join(QLatin1Char('\n')));
    dismiss(first);
}

void RowRunner::secondDuringExtraction()
{
    LauncherProcess first;
    if (!start(first, row_.unzipDelayMs))
        return;
    if (!waitFor(first, [](const QStringList &out) { return out.contains(QStringLiteral("Mutex does exist")); })) {
        problem(QStringLiteral("the first launcher's extraction was not caught"));
        dismiss(first);
        return;
    }
    LauncherProcess second;
    if (!start(second, row_.unzipDelayMs))
        return;
    awaitEnd(second);
    if (!waitForExit(first) || first.exitStatus() != QProcess::NormalExit || first.exitCode() != 0)
        problem(QStringLiteral("the first launcher did not exit with 0:\n") + guiLines(first.out()).join(QLatin1Char('\n')));
    dismiss(first);
}

void RowRunner::unzip(bool outputGone)
{
    QProcess tool;
    tool.setProgram(world_.suite.unzipTool);
    tool.setArguments({QStringLiteral("nembral/nembral.zip"), QStringLiteral("nembral")});
    tool.setWorkingDirectory(world_.work);
    tool.setProcessEnvironment(world_.environment());
    tool.setStandardInputFile(QProcess::nullDevice());
    tool.setStandardOutputFile(QProcess::nullDevice());
    const int pipe = outputGone ? pipeWithoutReader() : -1;
    if (outputGone) {
        tool.setChildProcessModifier([pipe] {
            (void)::signal(SIGPIPE, SIG_DFL);  // cannot fail for SIGPIPE
            ::dup2(pipe, STDERR_FILENO);
        });
    }
    tool.start();
    const bool started = tool.waitForStarted(10000);
    if (pipe >= 0)
        ::close(pipe);
    if (!started) {
        problem(QStringLiteral("unzip.exe did not start"));
        return;
    }
    outcome_.exited = tool.waitForFinished(int(remainingMs()));
    if (!outcome_.exited) {
        tool.kill();
        tool.waitForFinished(5000);
        return;
    }
    outcome_.crashed = tool.exitStatus() == QProcess::CrashExit;
    outcome_.exitCode = tool.exitCode();
    outcome_.err = QString::fromLocal8Bit(tool.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (outputGone && !outcome_.err.isEmpty())
        problem(QStringLiteral("unzip.exe's standard error reached the test, not the pipe"));
}

}  // namespace

QStringList guiLines(const QStringList &out)
{
    QStringList kept;
    for (const QString &line : withoutDownloadLines(out))
        if (!line.startsWith(QLatin1String("Cannot use the working directory")))
            kept << line;
    return kept;
}

FaultOutcome runFaultRow(const FaultSuite &suite, const FaultRow &row, int lane)
{
    FaultOutcome outcome;
    QElapsedTimer clock;
    clock.start();
    FaultWorld world(suite, row, lane);
    if (QString error = world.prepare(); !error.isEmpty()) {
        if (!world.skipReason.isEmpty())
            outcome.skipped = world.skipReason;
        else
            outcome.problems << error;
        return outcome;
    }
    if (QString error = world.startServer(); !error.isEmpty()) {
        outcome.problems << error;
        return outcome;
    }

    RowRunner(row, world, outcome).act();

    // A launcher that decided to start the application has handed it over; give it a moment
    // to note its start.
    if (outcome.out.contains(QStringLiteral("Start Nembral")) || !row.started.isEmpty() || row.act == Act::LaunchOutputGone)
        pollFor([&] { return linesOf(world.startedLog).size() >= std::max<qsizetype>(1, row.started.size()); },
                kStartNoteMs);
    world.endStrayProcesses();

    outcome.disk = QFileInfo::exists(world.work) ? diskListing(world.work) : QStringList{QStringLiteral("-")};
    outcome.installedVersion = readAll(world.work + QStringLiteral("/nembral/nembral/version.txt"));
    outcome.started = linesOf(world.startedLog);
    outcome.requests = linesOf(row.serverOptions.join(QLatin1Char(' ')).contains(QLatin1String("%AUX%"))
                                   ? world.auxRequestLog
                                   : world.requestLog);
    outcome.outsideChanges = world.outsideChanges();
    outcome.elapsedMs = clock.elapsed();
    return outcome;
}

#include "support/launcherprocess.h"

#include "support/testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <unistd.h>

LauncherProcess::~LauncherProcess()
{
    kill();
}

bool LauncherProcess::start(const QString &program, const QString &workDir, const QProcessEnvironment &environment,
                            const QStringList &arguments)
{
    if (!logs_.isValid())
        return false;
    process_.setProgram(program);
    process_.setWorkingDirectory(workDir);
    process_.setProcessEnvironment(environment);
    // The launcher reads nothing; a closed standard input is also what the commands it starts
    // get.
    process_.setStandardInputFile(QProcess::nullDevice());
    process_.setStandardOutputFile(logs_.filePath(QStringLiteral("stdout")));
    process_.setStandardErrorFile(logs_.filePath(QStringLiteral("stderr")));
    outFile_.setFileName(logs_.filePath(QStringLiteral("stdout")));
    errFile_.setFileName(logs_.filePath(QStringLiteral("stderr")));
    clock_.start();
    process_.setArguments(arguments);
    process_.start();
    return process_.waitForStarted(10000) && outFile_.open(QIODevice::ReadOnly | QIODevice::Unbuffered)
           && errFile_.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

void LauncherProcess::split(QByteArray &pending, const QByteArray &chunk, QStringList &lines, QList<qint64> *times,
                            qint64 now)
{
    pending += chunk;
    qsizetype end;
    while ((end = pending.indexOf('\n')) >= 0) {
        lines << QString::fromLocal8Bit(pending.left(end));
        if (times)
            times->append(now);
        pending.remove(0, end + 1);
    }
}

void LauncherProcess::readAvailable()
{
    const qint64 now = clock_.elapsed();
    // The files only grow; reading on from where the last read stopped gives the new lines.
    if (outFile_.isOpen())
        split(pendingOut_, outFile_.readAll(), out_, &outTimes_, now);
    if (errFile_.isOpen())
        split(pendingErr_, errFile_.readAll(), err_, nullptr, now);
}

bool LauncherProcess::waitUntil(const std::function<bool(const QStringList &)> &done, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        readAvailable();
        if (done(out_))
            return true;
        if (process_.state() == QProcess::NotRunning || waited.elapsed() > timeoutMs)
            return false;
        process_.waitForFinished(20);
    }
}

bool LauncherProcess::waitForLine(const QString &line, int timeoutMs)
{
    return waitUntil([&line](const QStringList &lines) { return lines.contains(line); }, timeoutMs);
}

bool LauncherProcess::waitForExit(int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (process_.state() != QProcess::NotRunning && waited.elapsed() <= timeoutMs) {
        process_.waitForFinished(20);
        readAvailable();
    }
    readAvailable();
    return process_.state() == QProcess::NotRunning;
}

qint64 LauncherProcess::timeOf(const QString &line) const
{
    const qsizetype index = out_.indexOf(line);
    return index < 0 ? -1 : outTimes_.at(index);
}

void LauncherProcess::kill()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.kill();
    process_.waitForFinished(10000);
    readAvailable();
}

QStringList downloadErrorLines(const QStringList &lines)
{
    QStringList errors;
    for (const QString &line : lines)
        if (line.startsWith(QLatin1String("An error occured : error code = 0x")))
            errors << line;
    return errors;
}

QList<pid_t> processesWorkingIn(const QString &dir)
{
    QList<pid_t> found;
    // /proc shows working directories with every link resolved.
    QString wanted = QFileInfo(dir).canonicalFilePath();
    if (wanted.isEmpty())
        wanted = QFileInfo(dir).absoluteFilePath();
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString &pid : pids) {
        if (pid.toInt() == ::getpid())
            continue;
        QString cwd = QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget();
        // A working directory that was deleted reads "<path> (deleted)".
        cwd.remove(QRegularExpression(QStringLiteral(" \\(deleted\\)$")));
        if (!cwd.isEmpty() && (cwd == wanted || cwd.startsWith(wanted + QLatin1Char('/'))))
            found << pid.toInt();
    }
    return found;
}

pid_t extractionToolIn(const QString &workDir)
{
    for (pid_t pid : processesWorkingIn(workDir)) {
        const QList<QByteArray> args = readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0');
        if (args.size() >= 3 && args.at(0).endsWith("unzip.exe") && args.at(1) == "nembral/nembral.zip"
            && args.at(2) == "nembral")
            return pid;
    }
    return 0;
}

bool processGone(pid_t pid)
{
    const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return stat.isEmpty() || (close > 0 && stat.mid(close + 2, 1) == "Z");
}

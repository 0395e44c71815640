#include "launcherprocess.h"

LauncherProcess::~LauncherProcess()
{
    kill();
}

bool LauncherProcess::start(const QString &program, const QString &workDir, const QProcessEnvironment &environment)
{
    process_.setProgram(program);
    process_.setWorkingDirectory(workDir);
    process_.setProcessEnvironment(environment);
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    // The launcher reads nothing; a closed standard input is also what the commands it starts
    // get.
    process_.setStandardInputFile(QProcess::nullDevice());
    clock_.start();
    process_.start();
    return process_.waitForStarted(10000);
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
    split(pendingOut_, process_.readAllStandardOutput(), out_, &outTimes_, now);
    split(pendingErr_, process_.readAllStandardError(), err_, nullptr, now);
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
        // Wakes for output or the exit, whichever comes first.
        if (!process_.waitForReadyRead(50) && process_.state() != QProcess::NotRunning)
            process_.waitForFinished(10);
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
        process_.waitForFinished(50);
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

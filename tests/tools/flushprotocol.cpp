#include "flushprotocol.h"

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

const QStringList kWrites{QStringLiteral("write"), QStringLiteral("pwrite64"), QStringLiteral("writev"),
                          QStringLiteral("pwritev"), QStringLiteral("pwritev2")};
const QStringList kFileFlushes{QStringLiteral("fsync"), QStringLiteral("fdatasync")};
const QStringList kRenames{QStringLiteral("renameat"), QStringLiteral("renameat2")};

// Calls that name an entry by a folder's descriptor and a name within it.
const QStringList kNamedInFolder{QStringLiteral("openat"), QStringLiteral("mkdirat"), QStringLiteral("symlinkat"),
                                 QStringLiteral("renameat"), QStringLiteral("renameat2")};

// The paths a call names: each descriptor with the path strace shows for it, and for a call
// that takes a folder and a name, the two joined ("fd</a/b>, \"c\"" is /a/b/c).
QStringList pathsIn(const QString &name, const QString &arguments)
{
    static const QRegularExpression named(QStringLiteral(R"re((?:\d+|AT_FDCWD)<([^>]*)>(?:, "((?:[^"\\]|\\.)*)")?)re"));
    const bool joined = kNamedInFolder.contains(name);
    QStringList paths;
    for (auto it = named.globalMatch(arguments); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QString entry = joined ? m.captured(2) : QString();
        paths << (entry.isEmpty()                      ? m.captured(1)
                  : entry.startsWith(QLatin1Char('/')) ? entry
                                                       : m.captured(1) + QLatin1Char('/') + entry);
    }
    return paths;
}

SystemCall callFrom(const QString &name, const QString &arguments, const QString &result)
{
    SystemCall call;
    call.name = name;
    call.paths = pathsIn(name, arguments);
    call.ok = !result.startsWith(QLatin1Char('-')) && result != QLatin1String("?");
    // Creating opens count as creations; the flags tell them from the others.
    if (name == QLatin1String("openat") && arguments.contains(QLatin1String("O_CREAT")))
        call.name = QStringLiteral("openat-create");
    return call;
}

bool isBelow(const QString &path, const QString &folder)
{
    return path.startsWith(folder + QLatin1Char('/'));
}

QString folderOf(const QString &path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')));
}

} // namespace

QList<SystemCall> recordFileCalls(const QString &program, const QStringList &arguments,
                                  const QProcessEnvironment &environment, int &exitCode, QString &error)
{
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty()) {
        error = QStringLiteral("strace is not installed (scripts/setup.sh installs it)");
        return {};
    }
    QTemporaryFile log;
    if (!log.open()) {
        error = QStringLiteral("cannot make a file for the record");
        return {};
    }
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(strace, QStringList{QStringLiteral("-f"), QStringLiteral("-y"), QStringLiteral("-qq"),
                                      QStringLiteral("-o"), log.fileName(), QStringLiteral("-e"),
                                      QStringLiteral("trace=openat,mkdirat,symlinkat,write,pwrite64,writev,pwritev,"
                                                     "pwritev2,fsync,fdatasync,syncfs,sync,renameat,renameat2"),
                                      program}
                                  + arguments);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        error = QStringLiteral("the recorded run did not end");
        return {};
    }
    exitCode = process.exitCode();
    const QByteArray strerr = process.readAllStandardError();
    if (strerr.contains("strace: ")) {
        error = QStringLiteral("strace could not record: ") + QString::fromLocal8Bit(strerr).trimmed();
        return {};
    }

    // "PID name(arguments) = result", or a call cut in two by another thread's:
    // "PID name(arguments <unfinished ...>" ... "PID <... name resumed>arguments) = result".
    static const QRegularExpression whole(QStringLiteral(R"(^(\d+)\s+(\w+)\((.*)\)\s+=\s+(\S+))"));
    static const QRegularExpression unfinished(QStringLiteral(R"(^(\d+)\s+(\w+)\((.*) <unfinished \.\.\.>$)"));
    static const QRegularExpression resumed(QStringLiteral(R"(^(\d+)\s+<\.\.\. (\w+) resumed>(.*)\)\s+=\s+(\S+))"));
    QHash<QString, QString> pending;  // thread -> the first half of its call
    QList<SystemCall> calls;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw);
        if (const QRegularExpressionMatch m = unfinished.match(line); m.hasMatch()) {
            pending.insert(m.captured(1), m.captured(3));
        } else if (const QRegularExpressionMatch m = resumed.match(line); m.hasMatch()) {
            calls << callFrom(m.captured(2), pending.take(m.captured(1)) + m.captured(3), m.captured(4));
        } else if (const QRegularExpressionMatch m = whole.match(line); m.hasMatch()) {
            calls << callFrom(m.captured(2), m.captured(3), m.captured(4));
        }
    }
    return calls;
}

QStringList flushProtocolBreaches(const QList<SystemCall> &calls, const QString &destination, const QString &lastName)
{
    QStringList breaches;
    const auto describe = [&calls](qsizetype i) {
        return QStringLiteral("%1(%2) [call %3]").arg(calls[i].name, calls[i].paths.join(QStringLiteral(", "))).arg(i);
    };
    // A flush that covers `path` (a file or folder) at call k: of that path itself, or of the
    // whole file system the destination is on.
    const auto flushes = [&](qsizetype k, const QString &path) {
        const SystemCall &c = calls[k];
        if (!c.ok)
            return false;
        if (kFileFlushes.contains(c.name))
            return c.paths.value(0) == path;
        return c.name == QLatin1String("sync")
            || (c.name == QLatin1String("syncfs")
                && (c.paths.value(0) == destination || isBelow(c.paths.value(0), destination)));
    };
    const auto flushedBetween = [&](qsizetype from, qsizetype to, const QString &path) {
        for (qsizetype k = from + 1; k < to; ++k)
            if (flushes(k, path))
                return true;
        return false;
    };

    QList<qsizetype> publishing;
    for (qsizetype i = 0; i < calls.size(); ++i)
        if (kRenames.contains(calls[i].name) && calls[i].ok && calls[i].paths.size() == 2
            && folderOf(calls[i].paths[1]) == destination)
            publishing << i;
    if (publishing.isEmpty())
        return {QStringLiteral("nothing was renamed into %1").arg(destination)};
    const QString last = calls[publishing.last()].paths[1];
    if (last != destination + QLatin1Char('/') + lastName)
        breaches << QStringLiteral("the last entry to appear is %1, not %2").arg(last, lastName);

    for (const qsizetype p : std::as_const(publishing)) {
        const QString source = calls[p].paths[0];
        QHash<QString, qsizetype> lastWrite;
        for (qsizetype i = 0; i < p; ++i) {
            const SystemCall &c = calls[i];
            const QString path = c.paths.value(0);
            if (c.ok && kWrites.contains(c.name) && (path == source || isBelow(path, source)))
                lastWrite.insert(path, i);
            // A new entry below the published one is on the disk once its folder is flushed.
            const bool creates = c.name == QLatin1String("openat-create") || c.name == QLatin1String("mkdirat")
                || c.name == QLatin1String("symlinkat");
            if (c.ok && creates && isBelow(c.paths.value(c.paths.size() - 1), source)
                && !flushedBetween(i, p, folderOf(c.paths.value(c.paths.size() - 1))))
                breaches << QStringLiteral("%1: its folder is not flushed before %2").arg(describe(i), describe(p));
        }
        for (auto it = lastWrite.cbegin(); it != lastWrite.cend(); ++it)
            if (!flushedBetween(it.value(), p, it.key()))
                breaches << QStringLiteral("%1 is not flushed after its last write %2, before %3")
                                .arg(it.key(), describe(it.value()), describe(p));
    }

    bool destinationFlushed = false;
    for (qsizetype k = publishing.last() + 1; k < calls.size() && !destinationFlushed; ++k)
        destinationFlushed = calls[k].ok && kFileFlushes.contains(calls[k].name) && calls[k].paths.value(0) == destination;
    if (!destinationFlushed)
        breaches << QStringLiteral("%1 is not flushed after %2").arg(destination, describe(publishing.last()));
    return breaches;
}

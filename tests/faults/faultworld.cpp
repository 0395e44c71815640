#include "faultworld.h"

#include "faultpackage.h"

#include <QDir>
#include <QProcess>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <signal.h>

namespace {

const QStringList kRowFolders{QStringLiteral("aux"), QStringLiteral("outside"), QStringLiteral("served"),
                              QStringLiteral("work")};

}  // namespace

FaultWorld::FaultWorld(const FaultSuite &suite, const FaultRow &row, int lane)
    : suite(suite), row(row), lane(lane), dir(suite.root + QStringLiteral("/row-XXXXXX"))
{
    root = dir.path();
    work = root + QStringLiteral("/work");
    outside = root + QStringLiteral("/outside");
    served = root + QStringLiteral("/served");
    aux = root + QStringLiteral("/aux");
    runtime = aux + QStringLiteral("/runtime");
    startedLog = aux + QStringLiteral("/started.log");
    requestLog = aux + QStringLiteral("/requests.log");
    auxRequestLog = aux + QStringLiteral("/downgrade-requests.log");
}

FaultWorld::~FaultWorld()
{
    endStrayProcesses();
    stopServer();
    unremovable.release();
    if (!mount.unmount())
        qWarning("fault suite: %s is still mounted", qPrintable(work));
}

QString FaultWorld::launcher() const
{
    return suite.launcherStem + QString::number(lane);
}

// Files a wrong wipe, download or extraction would hit first: a folder shaped like an
// installation without its version file (so that a link to it looks like an interrupted one),
// and a few plain files.
QString FaultWorld::prepareOutside() const
{
    QByteArray exe = "#!/bin/sh\necho \"outside started\" >> \"${NEMBRAL_FAULTS_STARTED:-/dev/null}\"\n";
    if (!writeFile(outside + QStringLiteral("/keep.txt"), "keep\n")
        || !writeExecutable(outside + QStringLiteral("/nembral/Nembrals.exe"), exe)
        || !writeFile(outside + QStringLiteral("/nembral/data/keep.bin"), QByteArray(4096, 'k'))
        || !writeFile(outside + QStringLiteral("/notes/readme.txt"), "not the launcher's\n"))
        return QStringLiteral("cannot prepare %1").arg(outside);
    return {};
}

QString FaultWorld::prepareWork()
{
    if (!QDir().mkpath(work))
        return QStringLiteral("cannot make %1").arg(work);
    const QString installDir = work + QStringLiteral("/nembral/nembral");
    switch (row.prep) {
    case Prep::None:
        break;
    case Prep::LeftoverTree:
    case Prep::ImmutableEntry:
        if (!writeExecutable(installDir + QStringLiteral("/Nembrals.exe"),
                             "#!/bin/sh\necho \"leftover started\" >> \"${NEMBRAL_FAULTS_STARTED:-/dev/null}\"\n")
            || !writeFile(installDir + QStringLiteral("/data/old.bin"), "old\n"))
            return QStringLiteral("cannot prepare the leftover tree");
        if (row.prep == Prep::ImmutableEntry) {
            if (!writeFile(installDir + QStringLiteral("/data/locked.bin"), "locked\n"))
                return QStringLiteral("cannot prepare the leftover tree");
            if (QString error = unremovable.make(installDir + QStringLiteral("/data/locked.bin")); !error.isEmpty()) {
                skipReason = error;
                return error;
            }
        }
        break;
    case Prep::NembralRelocated:
        if (!QFile::link(QStringLiteral("../outside"), work + QStringLiteral("/nembral")))
            return QStringLiteral("cannot link nembral");
        break;
    case Prep::InstallDirLinksOut:
        if (!QDir().mkpath(work + QStringLiteral("/nembral"))
            || !QFile::link(QStringLiteral("../../outside/nembral"), installDir))
            return QStringLiteral("cannot link nembral/nembral");
        break;
    case Prep::SmallDisk:
    case Prep::ReadOnly:
        if (QString error = mount.mount(work, row.smallDiskKb); !error.isEmpty()) {
            skipReason = error;
            return error;
        }
        break;
    }
    if (!row.installed.isEmpty())
        if (QString error = writeInstallation(installDir, row.installed); !error.isEmpty())
            return error;
    if (row.act == Act::Unzip || row.act == Act::UnzipOutputGone)
        if (QString error = writePackage(row.package, work + QStringLiteral("/nembral/nembral.zip"), outside);
            !error.isEmpty())
            return error;
    if (row.prep == Prep::ReadOnly)
        if (QString error = mount.remountReadOnly(); !error.isEmpty()) {
            skipReason = error;
            return error;
        }
    return {};
}

QString FaultWorld::prepare()
{
    if (!dir.isValid())
        return QStringLiteral("cannot make a folder for the row");
    if (!makePrivateDir(runtime) || !QDir().mkpath(served))
        return QStringLiteral("cannot make the row's folders");
    if (QString error = prepareOutside(); !error.isEmpty())
        return error;
    if (QString error = prepareWork(); !error.isEmpty())
        return error;
    if (row.act != Act::Unzip && row.act != Act::UnzipOutputGone)
        if (QString error = publish(row.package); !error.isEmpty())
            return error;
    outsideBefore_ = snapshot(outside);
    return {};
}

QString FaultWorld::publish(Package package)
{
    const QString archive = served + QStringLiteral("/nembral.zip");
    QFile::remove(archive);
    if (QString error = writePackage(package, archive, outside); !error.isEmpty())
        return error;
    const QByteArray version = row.published.isEmpty() ? QByteArray("1.0\n") : row.published;
    return writeFile(served + QStringLiteral("/version.txt"), version) ? QString()
                                                                       : QStringLiteral("cannot publish");
}

QString FaultWorld::startServer()
{
    if (!row.serverUp)
        return {};
    QStringList options = row.serverOptions;
    if (options.join(QLatin1Char(' ')).contains(QLatin1String("%AUX%"))) {
        // The target of a downgrade: a plain http server that notes whether anyone came.
        auxVendor_ = std::make_unique<TestVendor>();
        if (!auxVendor_->start(served, 0, suite.stateDir,
                               {QStringLiteral("--http"), QStringLiteral("--request-log"), auxRequestLog}))
            return QStringLiteral("the plain http server did not start");
        options.replaceInStrings(QStringLiteral("%AUX%"), QString::number(auxVendor_->port()));
    }
    options << QStringLiteral("--request-log") << requestLog;
    vendor_ = std::make_unique<TestVendor>();
    // The lane's port may still be held for a moment by the previous row's server.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (vendor_->start(served, suite.ports.value(lane), suite.stateDir, options))
            return {};
        QThread::msleep(250);
    }
    return QStringLiteral("the vendor server did not start on port %1").arg(suite.ports.value(lane));
}

void FaultWorld::stopServer()
{
    vendor_.reset();
    auxVendor_.reset();
}

QProcessEnvironment FaultWorld::environment(int unzipDelayMs) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("SSL_CERT_FILE"), suite.caFile);
    // Named mutexes live below the runtime directory: each row has its own, so the extraction
    // tools of rows running side by side never see each other's.
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("NEMBRAL_FAULTS_STARTED"), startedLog);
    // The tool is found on the search path, so the working directory holds only what the
    // launcher puts there (and a small disk needs no room for the tool).
    env.insert(QStringLiteral("PATH"), suite.toolDir + QLatin1Char(':') + env.value(QStringLiteral("PATH")));
    for (const char *name : {"COMSPEC", "DISPLAY", "WAYLAND_DISPLAY", "http_proxy", "https_proxy", "HTTPS_PROXY",
                             "all_proxy", "ALL_PROXY", "NEMBRAL_UNZIP_ENTRY_DELAY_MS"})
        env.remove(QString::fromLatin1(name));
    if (unzipDelayMs > 0)
        env.insert(QStringLiteral("NEMBRAL_UNZIP_ENTRY_DELAY_MS"), QString::number(unzipDelayMs));
    // In the sanitizer build: the worker threads and the loading animation live until the
    // process ends by design, and a leak report at exit would change the exit code.
    QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    if (!asan.contains(QLatin1String("detect_leaks")))
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   asan + (asan.isEmpty() ? QString() : QStringLiteral(":")) + QStringLiteral("detect_leaks=0"));
    return env;
}

QString FaultWorld::outsideChanges() const
{
    QString changes = differences(outsideBefore_, snapshot(outside));
    if (!row.outsideMayChange.isEmpty()) {
        // Lines are "removed: PATH", "added: PATH" or "changed: PATH (...)".
        const QRegularExpression allowed(QStringLiteral("^\\w+: (%1)( \\(.*)?$").arg(row.outsideMayChange));
        QStringList kept = changes.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        kept.removeIf([&allowed](const QString &line) { return allowed.match(line).hasMatch(); });
        changes = kept.join(QLatin1Char('\n'));
    }
    const QStringList beside = QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : beside)
        if (!kRowFolders.contains(entry))
            changes += (changes.isEmpty() ? QString() : QStringLiteral("\n")) + QStringLiteral("added beside: ") + entry;
    return changes;
}

void FaultWorld::endStrayProcesses() const
{
    for (int round = 0; round < 50; ++round) {
        const QList<pid_t> stray = processesWorkingIn(root);
        if (stray.isEmpty())
            return;
        bool allGone = true;
        for (pid_t pid : stray) {
            if (processGone(pid))
                continue;
            allGone = false;
            ::kill(pid, SIGKILL);
        }
        if (allGone)
            return;
        QThread::msleep(20);
    }
}

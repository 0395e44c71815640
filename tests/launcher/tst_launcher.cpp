// The launcher as a user runs it: the real executable, started in an empty working directory
// with the extraction tool beside it, against the local vendor server on loopback. What is
// checked is what can be seen from outside: the console log, the exit code and the files left.
#include "support/launcherprocess.h"
#include "support/immutablefile.h"
#include "support/logcapture.h"
#include "support/polling.h"
#include "support/testfiles.h"
#include "support/testvendor.h"

#include <QDir>
#include <QProcess>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <sys/types.h>

namespace {

// The port the launcher under test was built for (tests/launcher/CMakeLists.txt).
constexpr quint16 kVendorPort = NEMBRAL_TEST_VENDOR_PORT;
constexpr int kRunTimeoutMs = 90000;

const QString kExtractCommand = QStringLiteral("unzip.exe nembral/nembral.zip nembral");
const QString kStartCommand = QStringLiteral("cd ./nembral/nembral/ && Nembrals.exe");

QString sourceDir()
{
    return QString::fromLocal8Bit(qgetenv("NEMBRAL_SOURCE_DIR"));
}

// The lines the GUI thread writes, without those of the download worker, which interleave
// with them, and without the demo application's own line (it shares the launcher's output).
QStringList guiLines(const QStringList &out)
{
    static const QRegularExpression demoLine(QStringLiteral("^Nembral \\S+ running$"));
    QStringList kept;
    for (const QString &line : withoutDownloadLines(out))
        if (!demoLine.match(line).hasMatch())
            kept << line;
    return kept;
}

// A first installation, tick by tick: the decision, the wipe and the package download; then
// the tracker's ticks while the tool works (mutex held, or not yet taken and no version file);
// then the completion and the start.
bool isFirstInstallLog(const QStringList &lines)
{
    static const QRegularExpression sequence(QStringLiteral(
        "\\Aversion file does not exist\n"
        "installation necessary\n"
        "downloadCompleteApplication\n"
        "File deleted successfully\\.\n"
        "DOWNLOAD COMPLETE\n"
        "run command\n"
        "(?:(?:Mutex does exist|Mutex does not exist\nfile not found)\nDOWNLOAD COMPLETE\n)*"
        "Mutex does not exist\n"
        "UNZIP complete!\n"
        "File deleted successfully\\.\n"
        "Start Nembral\n\\z"));
    return sequence.match(lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).hasMatch();
}

bool pollFor(const std::function<bool()> &condition, int timeoutMs)
{
    return pollUntil(condition, timeoutMs, [] { QTest::qWait(50); });
}

}  // namespace

class TestLauncher : public QObject {
    Q_OBJECT

    QTemporaryDir root;
    std::optional<TestVendor> vendor;
    QString caFile;
    QString served;
    QString runtimeDir;
    QString smallPackage;
    QString slowPackage;
    QString signedPackage2;
    QString swappedPackage;
    bool faultyVendor = false;
    std::optional<QTemporaryDir> work;

    bool makePackage(const QStringList &arguments)
    {
        QProcess make;
        make.start(sourceDir() + QStringLiteral("/tools/make-package"), arguments);
        if (!make.waitForFinished(120000) || make.exitStatus() != QProcess::NormalExit || make.exitCode() != 0) {
            qWarning("make-package failed: %s", make.readAllStandardError().constData());
            return false;
        }
        return true;
    }

    bool startVendor()
    {
        if (vendor)
            return true;
        vendor.emplace();
        if (!vendor->start(served, kVendorPort, root.filePath(QStringLiteral("state")))) {
            vendor.reset();
            return false;
        }
        caFile = vendor->caFile();
        return true;
    }

    void stopVendor() { vendor.reset(); }

    // Publishes the package made in `packageDir`: its version file, and its archive unless
    // `withArchive` is false (then the archive's URL answers 404).
    bool publish(const QString &packageDir, bool withArchive = true)
    {
        const QString archive = served + QStringLiteral("/nembral.zip");
        QFile::remove(archive);
        QFile::remove(served + QStringLiteral("/version.txt"));
        if (withArchive && !QFile::copy(packageDir + QStringLiteral("/nembral.zip"), archive))
            return false;
        return QFile::copy(packageDir + QStringLiteral("/version.txt"), served + QStringLiteral("/version.txt"));
    }

    QString workPath(const QString &relative) const { return work->filePath(relative); }

    QProcessEnvironment launcherEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("SSL_CERT_FILE"), caFile);
        // Named mutexes live below the runtime directory; a private one keeps the extraction
        // tools of tests running at the same time apart from ours.
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        // The shell runs the commands unless a test names an interpreter.
        env.remove(QStringLiteral("COMSPEC"));
        env.remove(QStringLiteral("NEMBRAL_UNZIP_ENTRY_DELAY_MS"));
        // The demo application only writes its log; no window of it may open.
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("NEMBRAL_DEMO_HEADLESS"), QStringLiteral("1"));
        // In the sanitizer build: the worker threads and the loading animation live until the
        // process ends by design, and a leak report at exit would change the exit code.
        QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
        if (!asan.contains(QLatin1String("detect_leaks"))) {
            asan += asan.isEmpty() ? QString() : QStringLiteral(":");
            env.insert(QStringLiteral("ASAN_OPTIONS"), asan + QStringLiteral("detect_leaks=0"));
        }
        return env;
    }

    bool startLauncher(LauncherProcess &launcher, const QProcessEnvironment &env, const QStringList &arguments = {})
    {
        return launcher.start(QStringLiteral(NEMBRAL_E2E_LAUNCHER), work->path(), env, arguments);
    }

    // An installation in the working directory as a finished run leaves it: a version file
    // and an executable that notes, in its own directory, that it was started.
    void install(const QByteArray &version)
    {
        QVERIFY(writeFile(workPath(QStringLiteral("nembral/nembral/version.txt")), version));
        const QString exe = workPath(QStringLiteral("nembral/nembral/Nembrals.exe"));
        QVERIFY(writeExecutable(exe, "#!/bin/sh\necho \"started in $(pwd)\" >> started.log\n"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        runtimeDir = root.filePath(QStringLiteral("runtime"));
        QVERIFY(makePrivateDir(runtimeDir));
        smallPackage = root.filePath(QStringLiteral("package-1.0"));
        QVERIFY(makePackage({QStringLiteral("1.0"), smallPackage}));
        // Big enough that a slowed-down extraction can be caught midway.
        slowPackage = root.filePath(QStringLiteral("package-slow"));
        QVERIFY(makePackage({QStringLiteral("--payload-mb"), QStringLiteral("2"), QStringLiteral("--payload-files"),
                             QStringLiteral("40"), QStringLiteral("2.0"), slowPackage}));
        // Signed with the vendor key of the release-statement rows.
        signedPackage2 = root.filePath(QStringLiteral("package-signed-2.0"));
        QVERIFY(makePackage({QStringLiteral("--sign-key"), QStringLiteral(NEMBRAL_RELEASE_KEYS) + QStringLiteral("/vendor-private.pem"),
                             QStringLiteral("2.0"), signedPackage2}));
        // Another package the vendor signed, of the same size: the same archive under the next
        // key's signature, so only its SHA-256 tells it apart (a longer one would already be cut
        // off by the download's limit).
        swappedPackage = root.filePath(QStringLiteral("package-swapped"));
        QVERIFY(QDir().mkpath(swappedPackage));
        QVERIFY(QFile::copy(signedPackage2 + QStringLiteral("/nembral.zip"), swappedPackage + QStringLiteral("/nembral.zip")));
        QProcess sign;
        sign.start(sourceDir() + QStringLiteral("/tools/sign-package"),
                   {swappedPackage + QStringLiteral("/nembral.zip"), QStringLiteral(NEMBRAL_RELEASE_KEYS) + QStringLiteral("/next-private.pem")});
        QVERIFY(sign.waitForFinished(60000) && sign.exitCode() == 0);
        QCOMPARE(QFileInfo(swappedPackage + QStringLiteral("/nembral.zip")).size(), QFileInfo(signedPackage2 + QStringLiteral("/nembral.zip")).size());
        served = root.filePath(QStringLiteral("served"));
        QVERIFY(QDir().mkpath(served));
        QVERIFY(startVendor());
    }

    void init()
    {
        QVERIFY(startVendor());
        work.emplace(root.filePath(QStringLiteral("work-XXXXXX")));
        QVERIFY(work->isValid());
        // As on Windows, the extraction tool sits in the working directory.
        QVERIFY(QFile::copy(QStringLiteral(NEMBRAL_E2E_UNZIP), workPath(QStringLiteral("unzip.exe"))));
    }

    void cleanup()
    {
        work.reset();
        if (faultyVendor)
            stopVendor();  // the next test starts a plain one
        faultyVendor = false;
    }

    void cleanupTestCase() { stopVendor(); }

    // Nothing installed, the package published: downloaded, extracted by the real tool,
    // started, and the launcher gone with exit code 0, through the POSIX shell or through an
    // interpreter named by COMSPEC that records what it is asked to run.
    void firstInstall_data()
    {
        QTest::addColumn<bool>("throughComspec");
        QTest::newRow("shell") << false;
        QTest::newRow("COMSPEC interpreter") << true;
    }

    void firstInstall()
    {
        QFETCH(bool, throughComspec);
        QVERIFY(publish(smallPackage));
        QProcessEnvironment env = launcherEnvironment();
        const QString record = root.filePath(QStringLiteral("commands-") + QFileInfo(work->path()).fileName());
        if (throughComspec) {
            // Notes its arguments in one write, then does what the Windows interpreter would:
            // runs the command with the current directory searched first.
            const QString interpreter = record + QStringLiteral(".sh");
            QVERIFY(writeExecutable(interpreter, "#!/bin/sh\nout=$(printf '%s\\n' \"$@\")\nprintf '%s\\n' \"$out\" >> '"
                                                     + record.toLocal8Bit()
                                                     + "'\n[ \"$1\" = /c ] || exit 1\nPATH=.:$PATH exec /bin/sh -c \"$2\"\n"));
            env.insert(QStringLiteral("COMSPEC"), interpreter);
        }

        LauncherProcess launcher;
        QVERIFY(startLauncher(launcher, env));
        QVERIFY2(launcher.waitForExit(kRunTimeoutMs), qPrintable(launcher.out().join(QLatin1Char('\n'))));
        const qint64 took = launcher.elapsed();
        const QStringList &out = launcher.out();
        QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
        QCOMPARE(launcher.exitCode(), 0);
        QVERIFY2(isFirstInstallLog(guiLines(out)), qPrintable(guiLines(out).join(QLatin1Char('\n'))));

        // The worker's side: one clean download each, each announced before the GUI acts on it.
        QCOMPARE(launcher.count(QStringLiteral("CallbackHandler")), 2);
        QCOMPARE(launcher.count(QStringLiteral("Downloaded OK")), 2);
        QCOMPARE(downloadErrorLines(out), QStringList());
        QVERIFY(out.indexOf(QStringLiteral("version file downloaded!"))
                < out.indexOf(QStringLiteral("version file does not exist")));
        QVERIFY(out.indexOf(QStringLiteral("downloadCompleteApplication")) < out.indexOf(QStringLiteral("nembral downloaded!")));
        QVERIFY(out.indexOf(QStringLiteral("nembral downloaded!")) < out.indexOf(QStringLiteral("DOWNLOAD COMPLETE")));
        QVERIFY(out.contains(QStringLiteral("100")));
        for (const QString &line : launcher.err())
            QVERIFY2(!line.startsWith(QLatin1String("unzip.exe:")) && line != QLatin1String("Error deleting file."),
                     qPrintable(line));

        // What is left: the installed tree and nothing downloaded.
        QVERIFY(!QFile::exists(workPath(QStringLiteral("version.txt"))));
        QVERIFY(!QFile::exists(workPath(QStringLiteral("nembral/nembral.zip"))));
        QCOMPARE(readAll(workPath(QStringLiteral("nembral/nembral/version.txt"))), QByteArray("1.0\n"));
        QVERIFY(QFileInfo(workPath(QStringLiteral("nembral/nembral/Nembrals.exe"))).isExecutable());
        QCOMPARE(QDir(workPath(QStringLiteral("nembral"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("nembral")});

        // The demo application runs in its installation directory; it outlives the launcher.
        const QString demoLog = workPath(QStringLiteral("nembral/nembral/nembral-demo.log"));
        QVERIFY2(pollFor([&] { return readAll(demoLog) == "Nembral 1.0 running\n"; }, 10000),
                 qPrintable(entriesBelow(work->path()).join(QLatin1Char(' ')) + QLatin1Char('\n')
                            + QString::fromLocal8Bit(readAll(demoLog)) + launcher.err().join(QLatin1Char('\n'))));

        if (throughComspec) {
            QVERIFY(pollFor([&] { return recordedArguments(record).size() >= 4; }, 10000));
            QCOMPARE(recordedArguments(record),
                     (QStringList{QStringLiteral("/c"), kExtractCommand, QStringLiteral("/c"), kStartCommand}));
        }
        qInfo("first install, start to exit: %lld ms", static_cast<long long>(took));
    }

    // Installed and published versions equal (the installed file ends in CR LF): only the
    // version file is fetched, and the installed application starts.
    // Arguments: the toolkit takes its own options (here the platform plug-in, which is then
    // not in the environment: without the option the toolkit would find no display and abort)
    // and the launcher ignores the rest.
    void upToDate_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no arguments") << QStringList();
        QTest::newRow("toolkit option and an unknown one")
            << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("--no-such-option")};
    }

    void upToDate()
    {
        QFETCH(QStringList, arguments);
        QVERIFY(publish(smallPackage));
        install("1.0\r\n");
        QProcessEnvironment env = launcherEnvironment();
        if (!arguments.isEmpty())
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        LauncherProcess launcher;
        QVERIFY(startLauncher(launcher, env, arguments));
        QVERIFY2(launcher.waitForExit(kRunTimeoutMs), qPrintable(launcher.out().join(QLatin1Char('\n'))));
        QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
        QCOMPARE(launcher.exitCode(), 0);
        QCOMPARE(guiLines(launcher.out()),
                 (QStringList{QStringLiteral("version file does exist"),
                              QStringLiteral("NewVersion: 1.0 , CurrentVersion: 1.0"),
                              QStringLiteral("update not necessary"), QStringLiteral("start application"),
                              QStringLiteral("Start Nembral"), QStringLiteral("File deleted successfully.")}));
        QCOMPARE(launcher.count(QStringLiteral("CallbackHandler")), 1);
        QCOMPARE(launcher.count(QStringLiteral("version file downloaded!")), 1);
        QCOMPARE(launcher.count(QStringLiteral("nembral downloaded!")), 0);

        QVERIFY(!QFile::exists(workPath(QStringLiteral("version.txt"))));
        QVERIFY(!QFile::exists(workPath(QStringLiteral("nembral/nembral.zip"))));
        QCOMPARE(readAll(workPath(QStringLiteral("nembral/nembral/version.txt"))), QByteArray("1.0\r\n"));
        const QString started = workPath(QStringLiteral("nembral/nembral/started.log"));
        QVERIFY(pollFor([&] { return QFile::exists(started); }, 10000));
        QVERIFY(pollFor([&] { return readAll(started).endsWith('\n'); }, 5000));
        QCOMPARE(readAll(started),
                 QByteArray("started in ") + QFileInfo(workPath(QStringLiteral("nembral/nembral"))).canonicalFilePath().toLocal8Bit()
                     + '\n');
    }

    // Runs that end on the error page: the launcher logs six failed attempts, finds no
    // application and stays open, showing the error until someone presses "Exit".
    void staysOnErrorPage_data()
    {
        QTest::addColumn<bool>("serverUp");
        QTest::addColumn<bool>("leftoverTree");
        QTest::addColumn<QString>("errorCode");
        QTest::addColumn<QStringList>("expected");
        // Nothing listens on the port: every attempt at the version file is refused.
        QTest::newRow("offline first run") << false << false << QStringLiteral("800c0004")
                                           << QStringList{QStringLiteral("Could not find Nembral")};
        // The version file is served, the archive is not (404). The tree of an interrupted
        // earlier installation (no version file) is wiped before the download fails.
        QTest::newRow("package missing after the wipe")
            << true << true << QStringLiteral("800c0005")
            << QStringList{QStringLiteral("version file does not exist"), QStringLiteral("installation necessary"),
                           QStringLiteral("downloadCompleteApplication"), QStringLiteral("File deleted successfully."),
                           QStringLiteral("Could not find Nembral")};
    }

    void staysOnErrorPage()
    {
        QFETCH(bool, serverUp);
        QFETCH(bool, leftoverTree);
        QFETCH(QString, errorCode);
        QFETCH(QStringList, expected);
        QVERIFY(publish(smallPackage, false));
        if (!serverUp)
            stopVendor();
        if (leftoverTree) {
            install("0.9\n");
            QVERIFY(QFile::remove(workPath(QStringLiteral("nembral/nembral/version.txt"))));
            QVERIFY(writeFile(workPath(QStringLiteral("nembral/nembral/data/old.bin")), "old"));
        }

        LauncherProcess launcher;
        QVERIFY(startLauncher(launcher, launcherEnvironment()));
        QVERIFY2(launcher.waitForLine(QStringLiteral("Could not find Nembral"), kRunTimeoutMs),
                 qPrintable(launcher.out().join(QLatin1Char('\n'))));
        // Six attempts with a one-second pause after each come first.
        QVERIFY(launcher.timeOf(QStringLiteral("Could not find Nembral")) >= 6000);
        // The error page waits: the timers still running behind it log nothing more.
        QVERIFY(!launcher.waitUntil([](const QStringList &) { return false; }, 2500));
        QVERIFY(launcher.running());
        launcher.kill();

        QCOMPARE(guiLines(launcher.out()), expected);
        const QString failure = QStringLiteral("An error occured : error code = 0x") + errorCode;
        QCOMPARE(downloadErrorLines(launcher.out()), QStringList(6, failure));
        QCOMPARE(launcher.count(QStringLiteral("CallbackHandler")), serverUp ? 7 : 6);
        QCOMPARE(launcher.count(QStringLiteral("Start Nembral")), 0);
        QCOMPARE(launcher.count(QStringLiteral("run command")), 0);

        // Only the tool we put there, and an empty "nembral" once a package was tried: the
        // old tree is gone, and failed downloads leave no partial file.
        QStringList left{QStringLiteral("unzip.exe")};
        if (serverUp)
            left.prepend(QStringLiteral("nembral"));
        QCOMPARE(entriesBelow(work->path()), left);
    }

    // The console the launcher was started from has gone: its standard output is a pipe
    // without reader. Every log line fails to be written, and the launcher goes on as if it
    // had been: it installs or starts the application and exits normally.
    void lostConsole_data()
    {
        QTest::addColumn<bool>("installed");
        QTest::newRow("first install") << false;
        QTest::newRow("up to date") << true;
    }

    void lostConsole()
    {
        QFETCH(bool, installed);
        QVERIFY(publish(smallPackage));
        if (installed)
            install("1.0\n");
        int ends[2];
        QCOMPARE(::pipe2(ends, O_CLOEXEC), 0);
        ::close(ends[0]);
        const int lost = ends[1];
        LauncherProcess launcher;
        // SIGPIPE at its default, as a shell leaves it for the programs of a pipeline (whatever
        // this test program was started with).
        launcher.setChildSetup([lost] {
            (void)::signal(SIGPIPE, SIG_DFL);  // cannot fail for SIGPIPE
            ::dup2(lost, STDOUT_FILENO);
        });
        const bool started = startLauncher(launcher, launcherEnvironment());
        ::close(lost);
        QVERIFY(started);
        QVERIFY2(launcher.waitForExit(kRunTimeoutMs), qPrintable(launcher.err().join(QLatin1Char('\n'))));
        QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
        QCOMPARE(launcher.exitCode(), 0);
        QCOMPARE(launcher.out(), QStringList());
        QCOMPARE(launcher.err(), QStringList());

        QVERIFY(!QFile::exists(workPath(QStringLiteral("version.txt"))));
        QVERIFY(!QFile::exists(workPath(QStringLiteral("nembral/nembral.zip"))));
        QCOMPARE(readAll(workPath(QStringLiteral("nembral/nembral/version.txt"))), QByteArray("1.0\n"));
        // The application was started (ours notes it; the demo writes its log).
        const QString note = workPath(installed ? QStringLiteral("nembral/nembral/started.log")
                                                : QStringLiteral("nembral/nembral/nembral-demo.log"));
        QVERIFY2(pollFor([&] { return readAll(note).endsWith('\n'); }, 10000), qPrintable(entriesBelow(work->path()).join(QLatin1Char(' '))));
    }

    // "nembral" or "nembral/nembral" is a link to a folder elsewhere, holding an interrupted
    // installation (no version file). A link at "nembral/nembral" is removed, never what it
    // points to, and the installation lands in a real folder below the working directory. A link
    // at "nembral" is an installation moved elsewhere: the installation lands there (replacing
    // the interrupted one) and the link stays.
    void linkedInstallFolder_data()
    {
        QTest::addColumn<QString>("link");
        QTest::newRow("the installed folder is a link") << QStringLiteral("nembral/nembral");
        QTest::newRow("the folder on the way is a link") << QStringLiteral("nembral");
    }

    void linkedInstallFolder()
    {
        QFETCH(QString, link);
        QVERIFY(publish(smallPackage));
        const QString outside = root.filePath(QStringLiteral("outside-") + QFileInfo(work->path()).fileName());
        const QStringList kept = {QStringLiteral("nembral"), QStringLiteral("nembral/Nembrals.exe"),
                                  QStringLiteral("nembral/user-data.txt")};
        QVERIFY(writeFile(outside + QStringLiteral("/nembral/Nembrals.exe"), "#!/bin/sh\n"));
        QVERIFY(writeFile(outside + QStringLiteral("/nembral/user-data.txt"), "keep"));
        const bool onTheWay = link == QLatin1String("nembral");
        if (!onTheWay)
            QVERIFY(QDir().mkpath(workPath(QStringLiteral("nembral"))));
        QVERIFY(QFile::link(onTheWay ? outside : outside + QStringLiteral("/nembral"), workPath(link)));

        LauncherProcess launcher;
        QVERIFY(startLauncher(launcher, launcherEnvironment()));
        QVERIFY2(launcher.waitForExit(kRunTimeoutMs), qPrintable(launcher.out().join(QLatin1Char('\n'))));
        QCOMPARE(launcher.exitCode(), 0);
        QVERIFY2(isFirstInstallLog(guiLines(launcher.out())), qPrintable(guiLines(launcher.out()).join(QLatin1Char('\n'))));

        if (onTheWay)
            QCOMPARE(readAll(outside + QStringLiteral("/nembral/version.txt")), QByteArray("1.0\n"));
        else
            QCOMPARE(entriesBelow(outside), kept);
        QCOMPARE(QFileInfo(workPath(QStringLiteral("nembral"))).isSymLink(), onTheWay);
        QVERIFY(!QFileInfo(workPath(QStringLiteral("nembral/nembral"))).isSymLink());
        QCOMPARE(readAll(workPath(QStringLiteral("nembral/nembral/version.txt"))), QByteArray("1.0\n"));
    }

    // Nothing installed, but the old tree cannot be wiped (an entry even root cannot remove,
    // as a running copy holds its executable on Windows). No installation starts on top of
    // it: one line says what is in the way, the error page waits, nothing is downloaded.
    void treeThatCannotBeWiped()
    {
        QVERIFY(publish(smallPackage));
        install("0.9\n");
        QVERIFY(QFile::remove(workPath(QStringLiteral("nembral/nembral/version.txt"))));
        const ImmutableFile lock(workPath(QStringLiteral("nembral/nembral/Nembrals.exe")));
        if (!lock.made())
            QSKIP("chattr +i is not available here (needs root and a file system that supports it)");

        LauncherProcess launcher;
        QVERIFY(startLauncher(launcher, launcherEnvironment()));
        QVERIFY2(launcher.waitForLine(QStringLiteral("File deleted successfully."), kRunTimeoutMs),
                 qPrintable(launcher.out().join(QLatin1Char('\n'))));
        // The error page waits for "Exit"; nothing more happens behind it.
        QVERIFY(!launcher.waitUntil([](const QStringList &) { return false; }, 2500));
        QVERIFY(launcher.running());
        launcher.kill();

        QCOMPARE(guiLines(launcher.out()),
                 (QStringList{QStringLiteral("version file does not exist"), QStringLiteral("installation necessary"),
                              QStringLiteral("File deleted successfully.")}));
        QCOMPARE(launcher.err(), QStringList{QStringLiteral("cannot install: \"nembral/nembral/Nembrals.exe\" could not be "
                                                            "removed: Operation not permitted")});
        QCOMPARE(launcher.count(QStringLiteral("CallbackHandler")), 1);
        QCOMPARE(entriesBelow(work->path()),
                 (QStringList{QStringLiteral("nembral"), QStringLiteral("nembral/nembral"),
                              QStringLiteral("nembral/nembral/Nembrals.exe"), QStringLiteral("unzip.exe")}));
    }

    // The extraction tool dies midway (killed, so it cannot clean up): its mutex goes with it,
    // the installed version file never appears, and the launcher keeps waiting for it instead
    // of starting a half-installed application.
    void extractionKilled()
    {
        QVERIFY(publish(slowPackage));
        QProcessEnvironment env = launcherEnvironment();
        env.insert(QStringLiteral("NEMBRAL_UNZIP_ENTRY_DELAY_MS"), QStringLiteral("100"));
        LauncherProcess launcher;
        QVERIFY(startLauncher(launcher, env));
        QVERIFY2(launcher.waitForLine(QStringLiteral("Mutex does exist"), kRunTimeoutMs),
                 qPrintable(launcher.out().join(QLatin1Char('\n'))));

        pid_t tool = 0;
        QVERIFY(pollFor([&] { return (tool = extractionToolIn(work->path())) != 0; }, 5000));
        // Let it write part of the tree first.
        QVERIFY(pollFor([&] { return filesBelow(workPath(QStringLiteral("nembral"))) > 6; }, 20000));
        QVERIFY(!QFile::exists(workPath(QStringLiteral("nembral/nembral/version.txt"))));
        QCOMPARE(::kill(tool, SIGKILL), 0);
        QVERIFY(pollFor([&] { return processGone(tool); }, 10000));

        // Two more ticks after the kill: the mutex is gone, the marker missing.
        const qsizetype seen = launcher.out().size();
        const auto ticksAfterKill = [seen](const QStringList &lines) {
            return lines.mid(seen).count(QStringLiteral("file not found")) >= 2;
        };
        QVERIFY2(launcher.waitUntil(ticksAfterKill, 15000), qPrintable(launcher.out().join(QLatin1Char('\n'))));
        const QStringList gui = guiLines(launcher.out());
        QVERIFY(launcher.running());
        launcher.kill();

        QCOMPARE(gui.mid(0, 6), (QStringList{QStringLiteral("version file does not exist"),
                                             QStringLiteral("installation necessary"),
                                             QStringLiteral("downloadCompleteApplication"),
                                             QStringLiteral("File deleted successfully."),
                                             QStringLiteral("DOWNLOAD COMPLETE"), QStringLiteral("run command")}));
        QCOMPARE(gui.count(QStringLiteral("run command")), 1);
        QCOMPARE(gui.count(QStringLiteral("UNZIP complete!")), 0);
        QCOMPARE(gui.count(QStringLiteral("Start Nembral")), 0);
        QCOMPARE(gui.count(QStringLiteral("Could not find Nembral")), 0);
        QCOMPARE(gui.mid(gui.size() - 3),
                 (QStringList{QStringLiteral("DOWNLOAD COMPLETE"), QStringLiteral("Mutex does not exist"),
                              QStringLiteral("file not found")}));

        QVERIFY(!QFile::exists(workPath(QStringLiteral("nembral/nembral/version.txt"))));
        QVERIFY(!QFile::exists(workPath(QStringLiteral("nembral/nembral/Nembrals.exe"))));
        QVERIFY(QFile::exists(workPath(QStringLiteral("nembral/nembral.zip"))));
    }

    // Signed release statements. A launcher built with the vendor's key (and a next one) trusts
    // line 2 of the version file before it acts on line 1, and the package only when it is the
    // one the statement names. Every refusal is a failed download attempt of its own code; after
    // the sixth the installed Nembral starts as it was: no question, no wipe, nothing extracted.
    // The key-less launcher ignores line 2 whatever it holds.
    void releaseStatement_data()
    {
        QTest::addColumn<bool>("keyed");
        QTest::addColumn<QString>("installed");         // "": nothing, "1.0", "interrupted": the executable only
        QTest::addColumn<QByteArray>("priorSequence");  // what nembral/release-sequence holds; "": no file
        QTest::addColumn<QString>("statement");         // signing key, or "forged", "missing", "line of N"
        QTest::addColumn<QStringList>("options");       // for tools/release-statement
        QTest::addColumn<QString>("servedPackage");     // "": the package signed for; "swapped": another signed one; "endless": a body without end
        QTest::addColumn<QString>("errorCode");         // "": accepted and installed
        QTest::addColumn<QString>("refusal");

        const QStringList seq5{QStringLiteral("--sequence"), QStringLiteral("5")};
        const QString statementRefused = QStringLiteral("800b0004");
        QTest::newRow("valid: installs, sequence remembered") << true << QString() << QByteArray() << QStringLiteral("vendor") << seq5 << QString() << QString() << QString();
        QTest::newRow("next key: accepted") << true << QString() << QByteArray("5\n") << QStringLiteral("next") << seq5 << QString() << QString() << QString();
        QTest::newRow("forged signature") << true << QStringLiteral("1.0") << QByteArray() << QStringLiteral("forged") << seq5 << QString() << statementRefused << QStringLiteral("signature was not made");
        QTest::newRow("other key") << true << QStringLiteral("1.0") << QByteArray() << QStringLiteral("other") << seq5 << QString() << statementRefused << QStringLiteral("signature was not made");
        QTest::newRow("expired") << true << QStringLiteral("1.0") << QByteArray() << QStringLiteral("vendor")
                                 << (seq5 + QStringList{QStringLiteral("--expires"), QStringLiteral("2020-01-01T00:00:00Z")}) << QString() << statementRefused << QStringLiteral("expired at 2020-01-01T00:00:00Z");
        QTest::newRow("rollback to a lower sequence") << true << QStringLiteral("1.0") << QByteArray("9\n") << QStringLiteral("vendor") << seq5 << QString() << statementRefused << QStringLiteral("sequence 5 is lower than 9");
        QTest::newRow("statement missing") << true << QStringLiteral("1.0") << QByteArray() << QStringLiteral("missing") << QStringList() << QString() << statementRefused << QStringLiteral("no second line");
        QTest::newRow("line 2 of 2 KiB") << true << QStringLiteral("1.0") << QByteArray() << QStringLiteral("line of 2048") << QStringList() << QString() << statementRefused << QStringLiteral("2048 bytes long, more than 1024");
        // Larger than the version download takes at all: refused by the download itself.
        QTest::newRow("line 2 of 100 KiB") << true << QStringLiteral("1.0") << QByteArray() << QStringLiteral("line of 102400") << QStringList() << QString() << QStringLiteral("800c000f") << QString();
        // The statement is good; the package served is another release the vendor signed.
        QTest::newRow("package swapped for another signed one") << true << QStringLiteral("interrupted") << QByteArray() << QStringLiteral("vendor") << seq5 << QStringLiteral("swapped") << QStringLiteral("80096010") << QStringLiteral("package refused: the package's SHA-256 is");
        // The package download takes no more than the statement's size: a body without end fails
        // each attempt as soon as it is longer (0x800c000f) instead of filling the disk.
        QTest::newRow("package without end") << true << QStringLiteral("interrupted") << QByteArray() << QStringLiteral("vendor") << seq5 << QStringLiteral("endless") << QStringLiteral("800c000f") << QString();
        QTest::newRow("key-less launcher ignores a forged line 2") << false << QString() << QByteArray() << QStringLiteral("forged") << seq5 << QString() << QString() << QString();
    }

    void releaseStatement()
    {
        QFETCH(bool, keyed);
        QFETCH(QString, installed);
        QFETCH(QByteArray, priorSequence);
        QFETCH(QString, statement);
        QFETCH(QStringList, options);
        QFETCH(QString, servedPackage);
        QFETCH(QString, errorCode);
        const bool swapped = servedPackage == QLatin1String("swapped");
        const bool statementGood = !servedPackage.isEmpty();  // only the package is refused
        if (servedPackage == QLatin1String("endless")) {
            stopVendor();
            vendor.emplace();
            QVERIFY(vendor->start(served, kVendorPort, root.filePath(QStringLiteral("state")),
                                  {QStringLiteral("--endless"), QStringLiteral("--faulty-file"), QStringLiteral("nembral.zip")}));
            faultyVendor = true;
        }
        QFETCH(QString, refusal);
        const QString keys = QStringLiteral(NEMBRAL_RELEASE_KEYS);

        // Served: the signed 2.0 package (or, swapped, another signed one) with line 1 "2.0".
        QFile::remove(served + QStringLiteral("/nembral.zip"));
        QVERIFY(QFile::copy((swapped ? swappedPackage : signedPackage2) + QStringLiteral("/nembral.zip"), served + QStringLiteral("/nembral.zip")));
        const QString versionFile = served + QStringLiteral("/version.txt");
        QFile::remove(versionFile);
        if (statement == QLatin1String("missing")) {
            QVERIFY(writeFile(versionFile, "2.0\n"));
        } else if (statement.startsWith(QLatin1String("line of "))) {
            QVERIFY(writeFile(versionFile, "2.0\n" + QByteArray(statement.mid(8).toInt(), 'x') + '\n'));
        } else {
            const QString key = statement == QLatin1String("forged") ? QStringLiteral("vendor") : statement;
            QProcess tool;
            tool.start(sourceDir() + QStringLiteral("/tools/release-statement"),
                       options + QStringList{QStringLiteral("2.0"), signedPackage2 + QStringLiteral("/nembral.zip"), keys + QLatin1Char('/') + key + QStringLiteral("-private.pem"), versionFile});
            QVERIFY(tool.waitForFinished(60000));
            QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
            if (statement == QLatin1String("forged")) {
                QByteArray bytes = readAll(versionFile);
                const qsizetype at = bytes.indexOf(" ed25519=") + 20;
                bytes[at] = bytes[at] == 'A' ? 'B' : 'A';
                QVERIFY(writeFile(versionFile, bytes));
            }
        }
        if (installed == QLatin1String("1.0")) {
            install("1.0\n");
        } else if (installed == QLatin1String("interrupted")) {
            install("0.9\n");
            QVERIFY(QFile::remove(workPath(QStringLiteral("nembral/nembral/version.txt"))));
        }
        const QString sequenceFile = workPath(QStringLiteral("nembral/release-sequence"));
        if (!priorSequence.isEmpty())
            QVERIFY(writeFile(sequenceFile, priorSequence));
        const QStringList before = entriesBelow(workPath(QStringLiteral("nembral")));

        LauncherProcess launcher;
        QVERIFY(launcher.start(keyed ? QStringLiteral(NEMBRAL_E2E_SIGNED_LAUNCHER) : QStringLiteral(NEMBRAL_E2E_LAUNCHER),
                               work->path(), launcherEnvironment()));
        QVERIFY2(launcher.waitForExit(kRunTimeoutMs), qPrintable(launcher.out().join(QLatin1Char('\n'))));
        const QStringList &out = launcher.out();
        QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
        QCOMPARE(launcher.exitCode(), 0);
        QStringList gui;
        for (const QString &line : guiLines(out))
            if (!line.startsWith(QLatin1String("release statement ")) && !line.startsWith(QLatin1String("package ")))
                gui << line;
        QCOMPARE(launcher.count(QStringLiteral("new version available")), 0);

        if (errorCode.isEmpty()) {
            QVERIFY2(isFirstInstallLog(gui), qPrintable(out.join(QLatin1Char('\n'))));
            QCOMPARE(downloadErrorLines(out), QStringList());
            QCOMPARE(readAll(workPath(QStringLiteral("nembral/nembral/version.txt"))), QByteArray("2.0\n"));
            if (keyed) {
                QCOMPARE(launcher.count(QStringLiteral("package matches the release statement")), 1);
                QVERIFY(out.indexOf(QStringLiteral("package matches the release statement")) < out.indexOf(QStringLiteral("run command")));
                QCOMPARE(readAll(sequenceFile), QByteArray("5\n"));
            } else {
                QVERIFY(!QFile::exists(sequenceFile));
                QCOMPARE(launcher.count(QStringLiteral("package matches the release statement")), 0);
            }
            return;
        }

        // Refused: six failed attempts, each with its reason, then the installed Nembral starts.
        QCOMPARE(downloadErrorLines(out), QStringList(6, QStringLiteral("An error occured : error code = 0x") + errorCode));
        if (!refusal.isEmpty()) {
            int reasons = 0;
            for (const QString &line : out)
                reasons += line.contains(refusal) ? 1 : 0;
            QVERIFY2(reasons == 6, qPrintable(out.join(QLatin1Char('\n'))));
        }
        QCOMPARE(launcher.count(QStringLiteral("run command")), 0);
        QCOMPARE(launcher.count(QStringLiteral("Start Nembral")), 1);
        QCOMPARE(launcher.count(QStringLiteral("Could not find Nembral")), 0);
        const QString started = workPath(QStringLiteral("nembral/nembral/started.log"));
        QVERIFY(pollFor([&] { return readAll(started).endsWith('\n'); }, 10000));
        if (installed == QLatin1String("1.0"))
            QCOMPARE(readAll(workPath(QStringLiteral("nembral/nembral/version.txt"))), QByteArray("1.0\n"));
        QStringList after = entriesBelow(workPath(QStringLiteral("nembral")));
        after.removeAll(QStringLiteral("nembral/started.log"));
        after.removeAll(QStringLiteral("nembral.zip"));  // the refused package, left for the next run to replace
        if (statementGood)
            after.removeAll(QStringLiteral("release-sequence"));
        QCOMPARE(after, before);
        QCOMPARE(readAll(sequenceFile), statementGood ? QByteArray("5\n") : priorSequence);
    }
};

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"

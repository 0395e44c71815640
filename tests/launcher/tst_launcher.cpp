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
#include <QElapsedTimer>
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

// A display of its own (Xvfb) for runs that answer the question page as a user at the keyboard
// does: the window is given the keyboard, as a click on it would, and Enter presses the button
// that has the focus ("Update to New Version" when the page appears).
class KeyboardDisplay {
public:
    ~KeyboardDisplay()
    {
        if (xvfb_.state() != QProcess::NotRunning) {
            xvfb_.terminate();
            xvfb_.waitForFinished(5000);
        }
    }

    // Empty when the display did not start; otherwise its name (":N").
    QString start()
    {
        xvfb_.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                                             QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                                             QStringLiteral("800x600x24")});
        if (!xvfb_.waitForStarted(10000))
            return {};
        QByteArray number;
        QElapsedTimer clock;
        clock.start();
        while (!number.endsWith('\n') && clock.elapsed() < 15000 && xvfb_.waitForReadyRead(1000))
            number += xvfb_.readAllStandardOutput();
        if (number.trimmed().isEmpty())
            return {};
        display_ = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
        // The number can come before the server takes connections.
        if (!pollFor([this] { return xdotool({QStringLiteral("getmouselocation")}).exitCode == 0; }, 15000))
            return {};
        return display_;
    }

    // Focuses the launcher's window and presses Enter, until `answered` holds.
    bool pressEnter(qint64 pid, const std::function<bool()> &answered)
    {
        return pollFor(
            [&] {
                const QStringList windows = QString::fromLatin1(
                                                xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                                         QString::number(pid)})
                                                    .out)
                                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
                if (windows.isEmpty())
                    return false;
                xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), windows.first()});
                xdotool({QStringLiteral("key"), QStringLiteral("Return")});
                return pollFor(answered, 2000);
            },
            30000);
    }

private:
    struct Run {
        int exitCode = -1;
        QByteArray out;
    };

    Run xdotool(const QStringList &arguments) const
    {
        QProcess run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display_);
        run.setProcessEnvironment(env);
        run.start(QStringLiteral("xdotool"), arguments);
        if (!run.waitForFinished(10000))
            return {};
        return {run.exitStatus() == QProcess::NormalExit ? run.exitCode() : -1, run.readAllStandardOutput()};
    }

    QProcess xvfb_;
    QString display_;
};

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
    QString newPackage;
    QStringList vendorOptions;
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

    // The server again with `options` (faults), or as it is when it runs without any.
    bool startVendor(const QStringList &options = {})
    {
        if (vendor && options.isEmpty() && vendorOptions.isEmpty())
            return true;
        vendor.reset();
        vendorOptions = options;
        vendor.emplace();
        if (!vendor->start(served, kVendorPort, root.filePath(QStringLiteral("state")), options)) {
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
        newPackage = root.filePath(QStringLiteral("package-2.0"));
        QVERIFY(makePackage({QStringLiteral("2.0"), newPackage}));
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

    void cleanup() { work.reset(); }

    void cleanupTestCase() { stopVendor(); }

    // Nothing installed, the package published: downloaded, extracted by the real tool,
    // started, and the launcher gone with exit code 0, through the POSIX shell or through an
    // interpreter named by COMSPEC that records what it is asked to run.
    // The run also keeps its support log, nembral/launcher.log: every console line with a
    // time stamp. A log that cannot be written (a folder in its place, a full disk) changes
    // nothing else.
    void firstInstall_data()
    {
        QTest::addColumn<bool>("throughComspec");
        QTest::addColumn<QString>("supportLog");
        QTest::newRow("shell") << false << QString();
        QTest::newRow("COMSPEC interpreter") << true << QString();
        QTest::newRow("support log is a folder") << false << QStringLiteral("folder");
        QTest::newRow("support log on a full disk") << false << QStringLiteral("/dev/full");
    }

    void firstInstall()
    {
        QFETCH(bool, throughComspec);
        QFETCH(QString, supportLog);
        QVERIFY(publish(smallPackage));
        const QString logPath = workPath(QStringLiteral("nembral/launcher.log"));
        if (supportLog == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(logPath));
        else if (!supportLog.isEmpty())
            QVERIFY(QDir().mkpath(workPath(QStringLiteral("nembral"))) && QFile::link(supportLog, logPath));
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
        QCOMPARE(QDir(workPath(QStringLiteral("nembral"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System),
                 (QStringList{QStringLiteral("launcher.log"), QStringLiteral("nembral")}));
        // The support log: the same lines, each after a UTC time stamp, the two streams in one.
        if (supportLog.isEmpty()) {
            static const QRegularExpression stamp(
                QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z "));
            QStringList logged = QString::fromUtf8(readAll(logPath)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            for (QString &line : logged) {
                QVERIFY2(stamp.match(line).hasMatch(), qPrintable(line));
                line.remove(stamp);
            }
            QStringList console = out + launcher.err();
            // The demo application shares the console, not the log.
            console.removeIf([](const QString &line) { return line.startsWith(QLatin1String("Nembral ")); });
            console.sort();
            QStringList sortedLog = logged;
            sortedLog.sort();
            QCOMPARE(sortedLog, console);
            QCOMPARE(guiLines(logged), guiLines(out));
        }

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

        // Only the tool we put there and the support log: the old tree is gone, and failed
        // downloads leave no partial file.
        QCOMPARE(entriesBelow(work->path()), (QStringList{QStringLiteral("nembral"), QStringLiteral("nembral/launcher.log"),
                                                          QStringLiteral("unzip.exe")}));
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
                 (QStringList{QStringLiteral("nembral"), QStringLiteral("nembral/launcher.log"), QStringLiteral("nembral/nembral"),
                              QStringLiteral("nembral/nembral/Nembrals.exe"), QStringLiteral("unzip.exe")}));
    }

    // "Update to New Version" that cannot finish: the package cannot be had, or the tool
    // refuses it. The installation that was there comes back whole and starts; nothing of the
    // attempt is left. With a good package, the new version replaces it and nothing is kept.
    void updateFailsBack_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QStringList>("ending");
        const QString restored = QStringLiteral("previous installation restored");
        const QString start = QStringLiteral("Start Nembral");
        QTest::newRow("package unreachable") << QStringLiteral("missing")
                                             << QStringList{QStringLiteral("downloadCompleteApplication"), restored, start};
        QTest::newRow("package refused") << QStringLiteral("damaged")
                                         << QStringList{QStringLiteral("Mutex does not exist"), QStringLiteral("file not found"),
                                                        QStringLiteral("extraction failed"), restored, start};
        QTest::newRow("good package") << QStringLiteral("good")
                                      << QStringList{QStringLiteral("UNZIP complete!"), QStringLiteral("File deleted successfully."),
                                                     start};
    }

    void updateFailsBack()
    {
        QFETCH(QString, package);
        QFETCH(QStringList, ending);
        QVERIFY(publish(newPackage, package != QLatin1String("missing")));
        if (package == QLatin1String("damaged"))
            QVERIFY(writeFile(served + QStringLiteral("/nembral.zip"), "PK\x03\x04 not a zip archive"));
        install("1.0\n");
        QVERIFY(writeFile(workPath(QStringLiteral("nembral/nembral/data/user.bin")), "kept"));
        const QStringList before = entriesBelow(workPath(QStringLiteral("nembral/nembral")));

        KeyboardDisplay display;
        const QString name = display.start();
        if (name.isEmpty())
            QSKIP("Xvfb and xdotool are needed to answer the question page from the keyboard");
        QProcessEnvironment env = launcherEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), name);
        LauncherProcess launcher;
        QVERIFY(startLauncher(launcher, env));
        QVERIFY2(launcher.waitForLine(QStringLiteral("new version available"), kRunTimeoutMs),
                 qPrintable(launcher.out().join(QLatin1Char('\n'))));
        QVERIFY(display.pressEnter(launcher.processId(),
                                   [&] { return launcher.waitForLine(QStringLiteral("downloadCompleteApplication"), 0); }));
        QVERIFY2(launcher.waitForExit(kRunTimeoutMs), qPrintable(launcher.out().join(QLatin1Char('\n'))));
        QCOMPARE(launcher.exitCode(), 0);

        const QStringList gui = guiLines(launcher.out());
        QVERIFY2(gui.size() > ending.size() && gui.mid(gui.size() - ending.size()) == ending, qPrintable(gui.join(QLatin1Char('\n'))));
        QCOMPARE(gui.mid(0, 6), (QStringList{QStringLiteral("version file does exist"),
                                             QStringLiteral("NewVersion: 2.0 , CurrentVersion: 1.0"),
                                             QStringLiteral("update necessary"), QStringLiteral("new version available"),
                                             QStringLiteral("File deleted successfully."),
                                             QStringLiteral("downloadCompleteApplication")}));
        if (package == QLatin1String("missing"))
            QCOMPARE(downloadErrorLines(launcher.out()).size(), 6);

        // Nothing set aside, downloaded or reported is left beside the installation.
        QCOMPARE(QDir(workPath(QStringLiteral("nembral"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System),
                 (QStringList{QStringLiteral("launcher.log"), QStringLiteral("nembral")}));
        if (package == QLatin1String("good")) {
            QCOMPARE(readAll(workPath(QStringLiteral("nembral/nembral/version.txt"))), QByteArray("2.0\n"));
            QVERIFY(!QFile::exists(workPath(QStringLiteral("nembral/nembral/data/user.bin"))));
            return;
        }
        // The old installation as it was, started from its own folder.
        QVERIFY(pollFor([&] { return readAll(workPath(QStringLiteral("nembral/nembral/started.log"))).endsWith('\n'); }, 10000));
        QStringList after = entriesBelow(workPath(QStringLiteral("nembral/nembral")));
        after.removeAll(QStringLiteral("started.log"));
        QCOMPARE(after, before);
        QCOMPARE(readAll(workPath(QStringLiteral("nembral/nembral/version.txt"))), QByteArray("1.0\n"));
        QCOMPARE(readAll(workPath(QStringLiteral("nembral/nembral/data/user.bin"))), QByteArray("kept"));
    }

    // The launcher dies between the wipe and the new installation (killed during the package
    // download): the next run finds the previous installation set aside, puts it back whole,
    // and goes on from there (asks again).
    void killedDuringUpdate()
    {
        QVERIFY(publish(newPackage));
        QVERIFY(startVendor({QStringLiteral("--stall-after"), QStringLiteral("100"), QStringLiteral("--faulty-file"),
                             QStringLiteral("nembral.zip")}));
        install("1.0\n");
        const QStringList before = entriesBelow(workPath(QStringLiteral("nembral/nembral")));

        KeyboardDisplay display;
        const QString name = display.start();
        if (name.isEmpty())
            QSKIP("Xvfb and xdotool are needed to answer the question page from the keyboard");
        QProcessEnvironment env = launcherEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), name);
        {
            LauncherProcess launcher;
            QVERIFY(startLauncher(launcher, env));
            QVERIFY2(launcher.waitForLine(QStringLiteral("new version available"), kRunTimeoutMs),
                     qPrintable(launcher.out().join(QLatin1Char('\n'))));
            QVERIFY(display.pressEnter(launcher.processId(),
                                       [&] { return launcher.waitForLine(QStringLiteral("downloadCompleteApplication"), 0); }));
            QVERIFY(!QFile::exists(workPath(QStringLiteral("nembral/nembral/version.txt"))));
            QVERIFY(QFileInfo(workPath(QStringLiteral("nembral/nembral.previous"))).isDir());
            QCOMPARE(::kill(pid_t(launcher.processId()), SIGKILL), 0);
            QVERIFY(launcher.waitForExit(10000));
        }

        QVERIFY(startVendor());
        LauncherProcess next;
        QVERIFY(startLauncher(next, launcherEnvironment()));
        QVERIFY2(next.waitForLine(QStringLiteral("new version available"), kRunTimeoutMs),
                 qPrintable(next.out().join(QLatin1Char('\n'))));
        next.kill();
        QCOMPARE(guiLines(next.out()).mid(0, 2), (QStringList{QStringLiteral("previous installation restored"),
                                                              QStringLiteral("version file does exist")}));
        QCOMPARE(entriesBelow(workPath(QStringLiteral("nembral/nembral"))), before);
        QCOMPARE(readAll(workPath(QStringLiteral("nembral/nembral/version.txt"))), QByteArray("1.0\n"));
        QVERIFY(!QFile::exists(workPath(QStringLiteral("nembral/nembral.previous"))));
        QVERIFY(!QFile::exists(workPath(QStringLiteral("nembral/nembral.previous-version.txt"))));
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
};

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"

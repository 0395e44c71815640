// Installation tracking, tick by tick: percentage, one start of the extraction tool, waiting
// on its named mutex and on the installed version file, then the hand-over to the start.
#include "platform/downloadstatus.h"
#include "platform/packagenames.h"
#include "support/logcapture.h"
#include "support/mainwindowtestaccess.h"
#include "support/underwine.h"
#include "support/workflowworld.h"
#include "workflow/previousinstall.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QLabel>
#include <QPointer>
#include <QRegularExpression>
#include <QTest>

#include <optional>

namespace {
const QString kExtract = QStringLiteral("unzip.exe nembral/nembral.zip nembral");
const QString kStart = QStringLiteral("cd ./nembral/nembral/ && Nembrals.exe");
}  // namespace

class TestInstallTracker : public QObject {
    Q_OBJECT

    WorkflowWorld world;
    std::optional<MainWindow> window;

    // One tick of the tracker; returns the main-thread log lines it wrote.
    QStringList tick()
    {
        LogCapture capture;
        QMetaObject::invokeMethod(&*window, "downloadTracker");
        return withoutDownloadLines(capture.take().out);
    }
    QString label() { return MainWindowTestAccess::ui(*window).progress->text(); }

    // Holds the extraction tool's mutex from another process, as the real tool does.
    struct MutexHolder {
        QProcess process;
        bool start()
        {
            process.start(QString::fromLocal8Bit(qgetenv("NEMBRAL_BINARY_DIR")) + QStringLiteral("/bin/hold-mutex"),
                          {QStringLiteral("Local\\mutex_unzip")});
            // "held" and a line end, which is CR LF on Windows. A process takes seconds to start
            // under wine on a busy machine.
            return process.waitForReadyRead(30000) && process.readAll().trimmed() == "held";
        }
        ~MutexHolder()
        {
            process.closeWriteChannel();
            process.waitForFinished(5000);
        }
    };

private Q_SLOTS:
    void initTestCase() { QVERIFY(world.start(NEMBRAL_TEST_VENDOR_PORT, "3.0\n", QByteArray(256 * 1024, 'z'))); }
    void cleanupTestCase() { world.stop(); }

    // Each test starts from a window that has just begun an installation (the update button's
    // path), with the package download finished and the flags then set by the test.
    void init()
    {
        QVERIFY(world.enterFreshWorkDir());
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/version.txt"), "2.0\n"));
        window.emplace();
        QPointer<QThread> versionWorker = MainWindowTestAccess::workerThread(*window);
        versionWorker->wait();
        QVERIFY(downloadStatus.versionFileDownloaded.load());

        // In a real run the decision stops the version timer whenever an installation starts.
        MainWindowTestAccess::versionTimer(*window)->stop();
        LogCapture capture;
        window->downloadCompleteApplication();
        const QStringList log = withoutDownloadLines(capture.take().out);
        QCOMPARE(log, QStringList{QStringLiteral("downloadCompleteApplication")});
        // The old installation is wiped before anything is downloaded.
        QVERIFY(!QFile::exists(QStringLiteral("nembral/nembral")));
        QVERIFY(QFile::exists(QStringLiteral("nembral")));
        // The finished version worker was joined and replaced.
        QVERIFY(versionWorker.isNull());
        QThread *packageWorker = MainWindowTestAccess::workerThread(*window);
        packageWorker->wait();
        QVERIFY(downloadStatus.packageDownloaded.load());
        QCOMPARE(QFile(QStringLiteral("nembral/nembral.zip")).size(), 256 * 1024);
        QTimer *tracker = MainWindowTestAccess::trackerTimer(*window);
        QVERIFY(tracker && tracker->isActive());
        QCOMPARE(tracker->interval(), 1000);
        QCOMPARE(tracker->parent(), &*window);
    }

    void cleanup()
    {
        window.reset();
        QVERIFY(world.leaveWorkDir());
    }

    void percentageWhileDownloading_data()
    {
        QTest::addColumn<int>("progress");
        QTest::addColumn<QString>("text");
        QTest::newRow("partway") << 42 << QStringLiteral("Download Progress: 42 %");
        QTest::newRow("full but not stored yet") << 100 << QStringLiteral("Download Progress: 100 %");
        QTest::newRow("past the maximum") << 250 << QStringLiteral("Download Progress: 250 %");
        QTest::newRow("negative") << -3 << QStringLiteral("Download Progress: -3 %");
    }

    void percentageWhileDownloading()
    {
        QFETCH(int, progress);
        QFETCH(QString, text);
        downloadStatus.packageDownloaded.store(false);
        downloadStatus.downloadProgress.store(progress);
        QCOMPARE(tick(), QStringList());
        QCOMPARE(label(), text);
        QCOMPARE(world.commands(), QStringList());
        QVERIFY(!MainWindowTestAccess::unzipStarted(*window));
    }

    // The version download leaves its percentage behind; the tracker's first tick must not
    // show it while the package's first attempt fails and the worker pauses before the next.
    // The percentages of the attempt after the failure are still decimal.
    void startsFromZeroAndCountsInDecimalAfterAFailedAttempt()
    {
        if (runningUnderWine())
            QSKIP("wine's URL moniker stores an error page as a successful download, so no attempt fails");
        downloadStatus.packageDownloaded.store(false);
        window.emplace();  // one whose installation this test starts itself
        MainWindowTestAccess::workerThread(*window)->wait();
        MainWindowTestAccess::versionTimer(*window)->stop();
        QVERIFY2(downloadStatus.downloadProgress.load() > 0, "the version download reports its percentage");
        QVERIFY(world.restartVendor({QStringLiteral("--status"), QStringLiteral("503"),
                                     QStringLiteral("--faulty-requests"), QStringLiteral("1")}));

        LogCapture capture;
        window->downloadCompleteApplication();
        QMetaObject::invokeMethod(&*window, "downloadTracker");
        const QString firstLabel = label();
        MainWindowTestAccess::workerThread(*window)->wait();
        const QStringList log = capture.take().out;

        QCOMPARE(firstLabel, QStringLiteral("Download Progress: 0 %"));
        QVERIFY(downloadStatus.packageDownloaded.load());
        const qsizetype failed = log.indexOf(QRegularExpression(QStringLiteral("^An error occured : error code = 0x[0-9a-f]+$")));
        QVERIFY2(failed >= 0, qPrintable(log.join(QLatin1Char('|'))));
        QStringList percentages;
        for (const QString &line : log.mid(failed + 1))
            if (QRegularExpression(QStringLiteral("^[0-9a-fA-F]+$")).match(line).hasMatch())
                percentages << line;
        QVERIFY(!percentages.isEmpty());
        int previous = 0;
        for (const QString &line : std::as_const(percentages)) {
            bool decimal = false;
            const int percent = line.toInt(&decimal, 10);
            QVERIFY2(decimal && percent > previous, qPrintable(percentages.join(QLatin1Char(' '))));
            previous = percent;
        }
        QCOMPARE(previous, 100);
    }

    void extractionStartsOnceAndIsAwaited()
    {
        downloadStatus.downloadProgress.store(100);

        // First tick with the archive complete: the tool is started, the label still shows
        // the percentage, and the tool has not taken its mutex yet.
        QCOMPARE(tick(), (QStringList{QStringLiteral("DOWNLOAD COMPLETE"), QStringLiteral("run command"),
                                      QStringLiteral("Mutex does not exist"), QStringLiteral("file not found")}));
        QCOMPARE(label(), QStringLiteral("Download Progress: 100 %"));
        QTRY_COMPARE(world.commands().join(QLatin1Char('|')), QStringLiteral("/c|") + kExtract);
        QVERIFY(MainWindowTestAccess::unzipStarted(*window));

        // The tool has not taken its mutex yet, or died without the tree: the tracker waits and
        // does not start it again.
        QCOMPARE(tick(), (QStringList{QStringLiteral("DOWNLOAD COMPLETE"), QStringLiteral("Mutex does not exist"),
                                      QStringLiteral("file not found")}));
        QCOMPARE(label(), QStringLiteral("Copying files ..."));
        QVERIFY(QFile::exists(QStringLiteral("nembral/nembral.zip")));

        // The tool works: it holds the mutex. A marker file written meanwhile does not count.
        {
            MutexHolder holder;
            QVERIFY(holder.start());
            const QStringList busy = {QStringLiteral("DOWNLOAD COMPLETE"), QStringLiteral("Mutex does exist")};
            QCOMPARE(tick(), busy);
            QCOMPARE(label(), QStringLiteral("Copying files ..."));
            QVERIFY(writeFile(QStringLiteral("nembral/nembral/version.txt"), "3.0\n"));
            QCOMPARE(tick(), busy);
            QVERIFY(MainWindowTestAccess::trackerTimer(*window)->isActive());
        }

        // The tool has gone, the tree is in place but has no executable: completion hands
        // over to the start, which finds nothing to start.
        QCOMPARE(tick(), (QStringList{QStringLiteral("DOWNLOAD COMPLETE"), QStringLiteral("Mutex does not exist"),
                                      QStringLiteral("UNZIP complete!"), QStringLiteral("File deleted successfully."),
                                      QStringLiteral("Could not find Nembral")}));
        QVERIFY(!QFile::exists(QStringLiteral("nembral/nembral.zip")));
        QVERIFY(!MainWindowTestAccess::trackerTimer(*window)->isActive());
        // Started once, never again.
        QCOMPARE(world.commands(), (QStringList{QStringLiteral("/c"), kExtract}));
    }

    void completionStartsTheApplication()
    {
        tick();
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/version.txt"), "3.0\n"));
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/Nembrals.exe"), "#!/bin/sh\n"));

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(tick(), (QStringList{QStringLiteral("DOWNLOAD COMPLETE"), QStringLiteral("Mutex does not exist"),
                                      QStringLiteral("UNZIP complete!"), QStringLiteral("File deleted successfully."),
                                      QStringLiteral("Start Nembral")}));
        QVERIFY(clock.elapsed() >= 1000);
        QCOMPARE(label(), QStringLiteral("Installation complete!"));
        QVERIFY(!MainWindowTestAccess::trackerTimer(*window)->isActive());
        // Only with the new tree in place does the previous one go.
        QVERIFY(!QFile::exists(QLatin1String(kSetAsideDir)) && !QFile::exists(QLatin1String(kSetAsideVersionFile)));
        QTRY_COMPARE(world.commands(),
                     (QStringList{QStringLiteral("/c"), kExtract, QStringLiteral("/c"), kStart}));
    }

    // The tool has ended without the tree and left its result: the wait ends. The installation
    // set aside at the start of the update comes back and starts, or, with none, the error page.
    void toolThatEndedWithoutTheTree_data()
    {
        QTest::addColumn<bool>("previous");
        QTest::addColumn<QStringList>("ending");
        QTest::newRow("previous installation") << true
                                               << QStringList{QStringLiteral("previous installation restored"),
                                                              QStringLiteral("Start Nembral")};
        QTest::newRow("nothing to restore") << false << QStringList{QStringLiteral("Could not find Nembral")};
    }

    void toolThatEndedWithoutTheTree()
    {
        QFETCH(bool, previous);
        QFETCH(QStringList, ending);
        if (previous)
            QVERIFY(writeFile(QLatin1String(kSetAsideDir) + QStringLiteral("/Nembrals.exe"), "#!/bin/sh\n"));
        else
            discardSetAsideInstallation();
        tick();
        QVERIFY(writeFile(QLatin1String(kExtractResultFile), "1\n"));
        QCOMPARE(tick(), QStringList({QStringLiteral("DOWNLOAD COMPLETE"), QStringLiteral("Mutex does not exist"),
                                      QStringLiteral("file not found"), QStringLiteral("extraction failed")})
                             + ending);
        QVERIFY(!MainWindowTestAccess::trackerTimer(*window)->isActive());
        QVERIFY(!QFile::exists(QStringLiteral("nembral/nembral.zip")));
        QVERIFY(!QFile::exists(QLatin1String(kExtractResultFile)));
        QCOMPARE(readAll(QLatin1String(kInstalledVersionFile)), previous ? QByteArray("2.0\n") : QByteArray());
        QCOMPARE(MainWindowTestAccess::ui(*window).info_error->isVisibleTo(&*window), !previous);
    }

    // What a launcher that died during an update left, put right by the next one: each row is
    // a moment it may have died at. "old" is the installation (1.0) the update set aside, "new"
    // the one it installed (2.0); a tree without its version file is not whole.
    void recoversWhatADeadLauncherLeft_data()
    {
        QTest::addColumn<bool>("versionAside");
        QTest::addColumn<QString>("treeAside");  // "", "old"
        QTest::addColumn<QString>("installed");  // "", "old without version", "new", "new without version"
        QTest::addColumn<int>("recovery");
        QTest::addColumn<QByteArray>("version");  // of the installation afterwards; empty: none
        const int restored = int(Recovery::Restored), removed = int(Recovery::Removed), nothing = int(Recovery::Nothing);
        QTest::newRow("nothing aside") << false << QString() << "new" << nothing << QByteArray("2.0\n");
        QTest::newRow("its version file moved out") << true << QString() << "old without version" << restored
                                                    << QByteArray("1.0\n");
        QTest::newRow("set aside, downloading") << true << "old" << QString() << restored << QByteArray("1.0\n");
        QTest::newRow("set aside, a new tree without version") << true << "old"
                                                               << "new without version" << restored
                                                               << QByteArray("1.0\n");
        QTest::newRow("new one in place") << true << "old"
                                          << "new" << removed << QByteArray("2.0\n");
        QTest::newRow("discarding, version file gone") << false << "old"
                                                       << "new" << removed << QByteArray("2.0\n");
        QTest::newRow("a version file alone") << true << QString() << QString() << removed << QByteArray();
    }

    void recoversWhatADeadLauncherLeft()
    {
        QFETCH(bool, versionAside);
        QFETCH(QString, treeAside);
        QFETCH(QString, installed);
        QFETCH(int, recovery);
        QFETCH(QByteArray, version);
        QVERIFY(QDir(QStringLiteral("nembral")).removeRecursively());
        if (versionAside)
            QVERIFY(writeFile(QLatin1String(kSetAsideVersionFile), "1.0\n"));
        if (!treeAside.isEmpty())
            QVERIFY(writeFile(QLatin1String(kSetAsideDir) + QStringLiteral("/Nembrals.exe"), "old"));
        if (!installed.isEmpty()) {
            const bool old = installed.startsWith(QLatin1String("old"));
            QVERIFY(writeFile(QLatin1String(kInstalledExecutable), old ? "old" : "new"));
            if (!installed.endsWith(QLatin1String("without version")))
                QVERIFY(writeFile(QLatin1String(kInstalledVersionFile), "2.0\n"));
        }

        LogCapture capture;
        QCOMPARE(int(recoverSetAsideInstallation()), recovery);
        const QStringList log = capture.take().out;
        QCOMPARE(log, recovery == int(Recovery::Nothing) ? QStringList()
                      : recovery == int(Recovery::Restored)
                          ? QStringList{QStringLiteral("previous installation restored")}
                          : QStringList{QStringLiteral("previous installation removed")});
        QCOMPARE(readAll(QLatin1String(kInstalledVersionFile)), version);
        if (!version.isEmpty())
            QCOMPARE(readAll(QLatin1String(kInstalledExecutable)), version == "1.0\n" ? QByteArray("old") : QByteArray("new"));
        QVERIFY(!QFile::exists(QLatin1String(kSetAsideDir)));
        QVERIFY(!QFile::exists(QLatin1String(kSetAsideVersionFile)));
        // Put right once is put right: the next run finds nothing to do.
        QCOMPARE(recoverSetAsideInstallation(), Recovery::Nothing);
    }
};

QTEST_MAIN(TestInstallTracker)
#include "tst_installtracker.moc"

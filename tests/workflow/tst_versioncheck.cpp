// The once-per-run decision: install, ask or start, taken on the first tick after the
// published version file has arrived, with its log and the page it leaves the window on.
#include "platform/downloadstatus.h"
#include "support/immutablefile.h"
#include "support/logcapture.h"
#include "support/mainwindowtestaccess.h"
#include "support/workflowworld.h"

#include <QFile>
#include <QPointer>
#include <QTest>

#include <optional>

using MaybeBytes = std::optional<QByteArray>;
Q_DECLARE_METATYPE(MaybeBytes)

class TestVersionCheck : public QObject {
    Q_OBJECT

    WorkflowWorld world;

private Q_SLOTS:
    void initTestCase() { QVERIFY(world.start(NEMBRAL_TEST_VENDOR_PORT, "9.9\n", QByteArray(64 * 1024, 'z'))); }
    void init() { QVERIFY(world.enterFreshWorkDir()); }
    void cleanup() { QVERIFY(world.leaveWorkDir()); }
    void cleanupTestCase() { world.stop(); }

    void idleUntilTheVersionFileHasArrived()
    {
        MainWindow window;
        MainWindowTestAccess::workerThread(window)->wait();
        QVERIFY(QFile::exists(QStringLiteral("version.txt")));
        downloadStatus.versionFileDownloaded.store(false);

        LogCapture capture;
        QVERIFY(QMetaObject::invokeMethod(&window, "checkVersionLoop"));
        const LogCapture::Lines log = capture.take();
        QCOMPARE(log.out, QStringList());
        QCOMPARE(log.err, QStringList());
        QVERIFY(QFile::exists(QStringLiteral("version.txt")));
        QVERIFY(MainWindowTestAccess::versionTimer(window)->isActive());
    }

    void roads_data()
    {
        QTest::addColumn<MaybeBytes>("installed");
        QTest::addColumn<MaybeBytes>("downloaded");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QStringList>("errors");
        QTest::addColumn<QStringList>("visible");
        QTest::addColumn<bool>("locked");

        const QStringList start = {QStringLiteral("update not necessary"), QStringLiteral("start application"),
                                   QStringLiteral("Could not find Nembral")};
        const QStringList ask = {QStringLiteral("update necessary"), QStringLiteral("new version available")};
        const QStringList deleted = {QStringLiteral("File deleted successfully.")};
        const QStringList errorPage = kErrorPage;
        const QStringList questionPage = kQuestionPage;
        const QStringList workingPage = kWorkingPage;
        auto versions = [](const char *newVersion, const char *current) {
            return QStringList{QStringLiteral("version file does exist"),
                               QStringLiteral("NewVersion: %1 , CurrentVersion: %2")
                                   .arg(QString::fromLatin1(newVersion), QString::fromLatin1(current))};
        };
        auto rows = [](const QStringList &a, const QStringList &b, const QStringList &c) { return a + b + c; };

        QTest::newRow("nothing installed")
            << MaybeBytes() << MaybeBytes("2.0\n")
            << QStringList{QStringLiteral("version file does not exist"), QStringLiteral("installation necessary"),
                           QStringLiteral("downloadCompleteApplication"), deleted[0]}
            << QStringList() << workingPage << false;
        // Every C blank goes, wherever it stands; nothing else does (case, high bytes).
        QTest::newRow("CRLF against C blanks anywhere")
            << MaybeBytes("2.0\r\n") << MaybeBytes(" \t2\v.\f0\r\n ") << rows(versions("2.0", "2.0"), start, deleted)
            << QStringList() << errorPage << false;
        QTest::newRow("inner blank") << MaybeBytes("2 .0") << MaybeBytes("2.0")
                                     << rows(versions("2.0", "2.0"), start, deleted) << QStringList() << errorPage << false;
        QTest::newRow("newer published") << MaybeBytes("2.0\n") << MaybeBytes("2.1\n")
                                         << rows(versions("2.1", "2.0"), ask, deleted) << QStringList() << questionPage << false;
        QTest::newRow("older published") << MaybeBytes("2.1\n") << MaybeBytes("2.0\n")
                                         << rows(versions("2.0", "2.1"), ask, deleted) << QStringList() << questionPage << false;
        QTest::newRow("case differs") << MaybeBytes("release2") << MaybeBytes("Release2")
                                      << rows(versions("Release2", "release2"), ask, deleted) << QStringList() << questionPage << false;
        QTest::newRow("only the first line counts")
            << MaybeBytes("2.0\nbuild 17\n") << MaybeBytes("2.0\nbuild 18\n")
            << rows(versions("2.0", "2.0"), start, deleted) << QStringList() << errorPage << false;
        QTest::newRow("both empty") << MaybeBytes("") << MaybeBytes("") << rows(versions("", ""), start, deleted)
                                    << QStringList() << errorPage << false;
        QTest::newRow("published empty") << MaybeBytes("2.0") << MaybeBytes("")
                                         << rows(versions("", "2.0"), ask, deleted) << QStringList() << questionPage << false;
        // Compared as they are, logged with every byte outside printable ASCII escaped.
        QTest::newRow("no-break space kept") << MaybeBytes("2.0") << MaybeBytes("2.0\xa0")
                                             << rows(versions("2.0\\xa0", "2.0"), ask, deleted) << QStringList()
                                             << questionPage << false;
        QTest::newRow("control bytes in the published line")
            << MaybeBytes("2.0\n") << MaybeBytes(QByteArray("2.1\x1b[2J\b\0X\r9\n", 13))
            << rows(versions("2.1\\x1b[2J\\x08\\x00X9", "2.0"), ask, deleted) << QStringList() << questionPage << false;
        QTest::newRow("control bytes on both sides, equal")
            << MaybeBytes("\x1b]0;1.0\x07\n") << MaybeBytes("\x1b]0;1.0\x07\n")
            << rows(versions("\\x1b]0;1.0\\x07", "\\x1b]0;1.0\\x07"), start, deleted) << QStringList() << errorPage
            << false;
        // A line is read up to the most the version download stores, 64 KiB, so versions that
        // differ anywhere in it differ; of a longer (installed) line only that much counts. The
        // log line is cut at its own bound.
        const auto cut = [](const QString &line) -> QString {
            return line.left(4096) + QStringLiteral(" [... %1 more bytes not shown]").arg(line.size() - 4096);
        };
        const QByteArray longVersion(64 * 1024, 'v');
        const QString longLine = QStringLiteral("NewVersion: %1 , CurrentVersion: %1").arg(QString::fromLatin1(longVersion));
        QTest::newRow("over-long lines compared by their first 64 KiB")
            << MaybeBytes(longVersion + "\n") << MaybeBytes(longVersion + "tail that is never read\n")
            << rows(QStringList{QStringLiteral("version file does exist"), cut(longLine)}, start, deleted)
            << QStringList() << errorPage << false;
        const QByteArray sharedStart(5000, 'v');
        QTest::newRow("versions that differ only after 4 KiB")
            << MaybeBytes(sharedStart + "1\n") << MaybeBytes(sharedStart + "2\n")
            << rows(QStringList{QStringLiteral("version file does exist"),
                                cut(QStringLiteral("NewVersion: ") + QString::fromLatin1(sharedStart + "2 , CurrentVersion: ")
                                    + QString::fromLatin1(sharedStart + "1"))},
                    ask, deleted)
            << QStringList() << questionPage << false;
        QTest::newRow("download vanished before the tick")
            << MaybeBytes("2.0") << MaybeBytes()
            << QStringList{QStringLiteral("version file does exist"), QStringLiteral("downloaded version file does not exist"),
                           start[0], start[1], start[2]}
            << QStringList{QStringLiteral("Error deleting file.")} << errorPage << false;
        // Nothing installed, but the old tree cannot be wiped: no installation starts on top of
        // it; the error page and one line that says what is in the way.
        QTest::newRow("tree that cannot be wiped")
            << MaybeBytes() << MaybeBytes("2.0\n")
            << QStringList{QStringLiteral("version file does not exist"), QStringLiteral("installation necessary"),
                           deleted[0]}
            << QStringList{QStringLiteral("cannot install: \"nembral/nembral/stale.dll\" could not be removed: "
                                          "Operation not permitted")}
            << errorPage << true;
    }

    void roads()
    {
        QFETCH(MaybeBytes, installed);
        QFETCH(MaybeBytes, downloaded);
        QFETCH(QStringList, log);
        QFETCH(QStringList, errors);
        QFETCH(QStringList, visible);
        QFETCH(bool, locked);

        MainWindow window;
        MainWindowUi &ui = MainWindowTestAccess::ui(window);
        QPointer<QThread> versionWorker = MainWindowTestAccess::workerThread(window);
        versionWorker->wait();
        QVERIFY(downloadStatus.versionFileDownloaded.load());

        QFile::remove(QStringLiteral("version.txt"));
        if (downloaded)
            QVERIFY(writeFile(QStringLiteral("version.txt"), *downloaded));
        if (installed)
            QVERIFY(writeFile(QStringLiteral("nembral/nembral/version.txt"), *installed));
        // Left over from an older installation: the install road must wipe it.
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/stale.dll"), "old"));
        std::optional<ImmutableFile> lock;
        if (locked && !lock.emplace(QStringLiteral("nembral/nembral/stale.dll")).made())
            QSKIP("chattr +i is not available here (needs root and a file system that supports it)");

        LogCapture capture;
        QVERIFY(QMetaObject::invokeMethod(&window, "checkVersionLoop"));
        // Installing replaces the finished version worker with the package worker.
        QThread *worker = MainWindowTestAccess::workerThread(window);
        const bool newWorker = versionWorker.isNull();
        worker->wait();
        const LogCapture::Lines lines = capture.take();

        QCOMPARE(withoutDownloadLines(lines.out).join(QLatin1Char('|')), log.join(QLatin1Char('|')));
        QCOMPARE(lines.err, errors);
        QCOMPARE(visiblePageWidgets(ui), visible);
        QVERIFY(!QFile::exists(QStringLiteral("version.txt")));
        QVERIFY(!MainWindowTestAccess::versionTimer(window)->isActive());
        QCOMPARE(QFile::exists(QStringLiteral("nembral/nembral/stale.dll")), installed || locked);
        // Installing starts the package download and its tracker; the other roads do not.
        const bool installing = !installed && !locked;
        QCOMPARE(newWorker, installing);
        QTimer *tracker = MainWindowTestAccess::trackerTimer(window);
        QCOMPARE(tracker != nullptr, installing);
        if (tracker) {
            QVERIFY(tracker->isActive());
            QCOMPARE(tracker->interval(), 1000);
        }
        // No road starts a command: nothing is installed to start.
        QCOMPARE(world.commands(), QStringList());
    }
};

QTEST_MAIN(TestVersionCheck)
#include "tst_versioncheck.moc"

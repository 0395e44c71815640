// The once-per-run decision: install, ask or start, taken on the first tick after the
// published version file has arrived, with its log and the page it leaves the window on.
#include "platform/downloadstatus.h"
#include "support/logcapture.h"
#include "support/mainwindowtestaccess.h"
#include "support/workflowworld.h"
#include "workflow/versionstring.h"

#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
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
    void cleanup() { world.leaveWorkDir(); }
    void cleanupTestCase() { world.stop(); }

    void whiteSpaceRemoval_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("version");
        QTest::newRow("plain") << QByteArray("2.0") << QByteArray("2.0");
        QTest::newRow("all C blanks anywhere") << QByteArray(" \t2\v.\f0\r\n ") << QByteArray("2.0");
        QTest::newRow("only blanks") << QByteArray(" \r\t") << QByteArray();
        QTest::newRow("high bytes stay") << QByteArray("2.0\xa0\x85") << QByteArray("2.0\xa0\x85");
        QTest::newRow("case stays") << QByteArray("Release 2") << QByteArray("Release2");
    }

    void whiteSpaceRemoval()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, version);
        QCOMPARE(QByteArray::fromStdString(versionString(line.toStdString())), version);
    }

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

        const QString none = QStringLiteral("-");
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
        auto rows = [](QStringList a, const QStringList &b, const QStringList &c) { return a + b + c; };

        QTest::newRow("nothing installed")
            << MaybeBytes() << MaybeBytes("2.0\n")
            << QStringList{QStringLiteral("version file does not exist"), QStringLiteral("installation necessary"),
                           QStringLiteral("downloadCompleteApplication"), deleted[0]}
            << QStringList() << workingPage;
        QTest::newRow("CRLF against padded")
            << MaybeBytes("2.0\r\n") << MaybeBytes(" 2.0 ") << rows(versions("2.0", "2.0"), start, deleted)
            << QStringList() << errorPage;
        QTest::newRow("inner blank") << MaybeBytes("2 .0") << MaybeBytes("2.0")
                                     << rows(versions("2.0", "2.0"), start, deleted) << QStringList() << errorPage;
        QTest::newRow("newer published") << MaybeBytes("2.0\n") << MaybeBytes("2.1\n")
                                         << rows(versions("2.1", "2.0"), ask, deleted) << QStringList() << questionPage;
        QTest::newRow("older published") << MaybeBytes("2.1\n") << MaybeBytes("2.0\n")
                                         << rows(versions("2.0", "2.1"), ask, deleted) << QStringList() << questionPage;
        QTest::newRow("case differs") << MaybeBytes("release2") << MaybeBytes("Release2")
                                      << rows(versions("Release2", "release2"), ask, deleted) << QStringList() << questionPage;
        QTest::newRow("only the first line counts")
            << MaybeBytes("2.0\nbuild 17\n") << MaybeBytes("2.0\nbuild 18\n")
            << rows(versions("2.0", "2.0"), start, deleted) << QStringList() << errorPage;
        QTest::newRow("both empty") << MaybeBytes("") << MaybeBytes("") << rows(versions("", ""), start, deleted)
                                    << QStringList() << errorPage;
        QTest::newRow("published empty") << MaybeBytes("2.0") << MaybeBytes("")
                                         << rows(versions("", "2.0"), ask, deleted) << QStringList() << questionPage;
        QTest::newRow("no-break space kept") << MaybeBytes("2.0") << MaybeBytes("2.0\xa0")
                                             << rows(versions("2.0\xa0", "2.0"), ask, deleted) << QStringList()
                                             << questionPage;
        QTest::newRow("download vanished before the tick")
            << MaybeBytes("2.0") << MaybeBytes()
            << QStringList{QStringLiteral("version file does exist"), QStringLiteral("downloaded version file does not exist"),
                           start[0], start[1], start[2]}
            << QStringList{QStringLiteral("Error deleting file.")} << errorPage;
        Q_UNUSED(none);
    }

    void roads()
    {
        QFETCH(MaybeBytes, installed);
        QFETCH(MaybeBytes, downloaded);
        QFETCH(QStringList, log);
        QFETCH(QStringList, errors);
        QFETCH(QStringList, visible);

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
        QCOMPARE(QFile::exists(QStringLiteral("nembral/nembral/stale.dll")), bool(installed));
        // Installing starts the package download and its tracker; the other roads do not.
        QCOMPARE(newWorker, !installed);
        QTimer *tracker = MainWindowTestAccess::trackerTimer(window);
        QCOMPARE(tracker != nullptr, !installed);
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

// The end of every run: starting the installed application, the error page, and the three
// buttons as a user clicks them.
#include "platform/filehelpers.h"
#include "platform/packagenames.h"
#include "support/immutablefile.h"
#include "support/unwritablefolder.h"
#include "support/logcapture.h"
#include "support/mainwindowtestaccess.h"
#include "support/workflowworld.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QDateTime>
#include <QFileInfo>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <cstring>
#include <optional>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
const QString kStart = QStringLiteral("cd ./nembral/nembral/ && Nembrals.exe");
const QString kMarker = QStringLiteral("nembral/nembral/version.txt");
// An installed tree with entries on both sides of the version file, whatever order the file
// system lists them in.
const QStringList kInstalledFiles = {
    QStringLiteral("nembral/nembral/Nembrals.exe"),
    QStringLiteral("nembral/nembral/version.txt"),
    QStringLiteral("nembral/nembral/a.dll"),
    QStringLiteral("nembral/nembral/lib/b.dll"),
    QStringLiteral("nembral/nembral/res/readme.txt"),
    QStringLiteral("nembral/nembral/zz/last.pak"),
    QStringLiteral("nembral/nembral/data/deep/file.bin"),
};
}  // namespace

class TestLaunch : public QObject {
    Q_OBJECT

    WorkflowWorld world;

    // startApplication is reached after the decision, which has stopped the version timer by
    // then; a live timer would take a decision of its own in the middle of the test.
    static void decided(MainWindow &window)
    {
        MainWindowTestAccess::workerThread(window)->wait();
        MainWindowTestAccess::versionTimer(window)->stop();
    }

    // A shown window whose version download has finished, left on the question page by a
    // real decision (installed 1.0, published 2.0). The test takes that decision itself, so
    // the version timer must not take it first while a slow machine exposes the window.
    void toQuestionPage(MainWindow &window)
    {
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/version.txt"), "1.0\n"));
        MainWindowTestAccess::versionTimer(window)->stop();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowTestAccess::workerThread(window)->wait();
        LogCapture capture;
        QMetaObject::invokeMethod(&window, "checkVersionLoop");
        capture.take();
        QCOMPARE(visiblePageWidgets(MainWindowTestAccess::ui(window)), kQuestionPage);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(world.start(NEMBRAL_TEST_VENDOR_PORT, "2.0\n", QByteArray(1024, 'z'))); }
    void init() { QVERIFY(world.enterFreshWorkDir()); }
    void cleanup() { QVERIFY(world.leaveWorkDir()); }
    void cleanupTestCase() { world.stop(); }

    void missingExecutable_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("absent") << 0;
        QTest::newRow("directory in its place") << 1;
#ifdef Q_OS_UNIX
        // On Windows QFile::link makes a shell shortcut, which is a file like any other.
        QTest::newRow("link to nothing") << 2;
#endif
        QTest::newRow("a file where its folder should be") << 3;
#ifdef Q_OS_UNIX
        // Permissions that deny reading; root reads any file, and Windows has no such bits.
        if (::geteuid() != 0)
            QTest::newRow("unreadable") << 4;
#endif
    }

    void missingExecutable()
    {
        QFETCH(int, kind);
        const QString exe = QStringLiteral("nembral/nembral/Nembrals.exe");
        switch (kind) {
        case 1:
            QVERIFY(QDir().mkpath(exe));
            break;
        case 2:
            QVERIFY(QDir().mkpath(QStringLiteral("nembral/nembral")));
            QVERIFY(QFile::link(QStringLiteral("Nembrals-gone.exe"), exe));
            break;
        case 3:
            QVERIFY(writeFile(QStringLiteral("nembral/nembral"), "not a folder"));
            break;
        case 4:
            QVERIFY(writeFile(exe, "x"));
            QFile::setPermissions(exe, QFile::WriteOwner);
            break;
        }
        MainWindow window;
        decided(window);
        LogCapture capture;
        window.startApplication();
        const LogCapture::Lines log = capture.take();
        QCOMPARE(withoutDownloadLines(log.out), QStringList{QStringLiteral("Could not find Nembral")});
        QCOMPARE(visiblePageWidgets(MainWindowTestAccess::ui(window)), kErrorPage);
        QTest::qWait(200);
        QCOMPARE(world.commands(), QStringList());
    }

    void presentExecutableIsStartedAndTheLauncherQuits()
    {
        QVERIFY(writeFile(QStringLiteral("nembral/nembral/Nembrals.exe"), "#!/bin/sh\n"));
        MainWindow window;
        decided(window);
        window.show();
        QDateTime called;
        LogCapture::Lines log;
        QTimer::singleShot(0, &window, [&] {
            LogCapture capture;
            called = QDateTime::currentDateTimeUtc();
            window.startApplication();
            log = capture.take();
        });
        QCOMPARE(QApplication::exec(), 0);  // quit() ended the loop
        QCOMPARE(withoutDownloadLines(log.out), QStringList{QStringLiteral("Start Nembral")});
        QTRY_COMPARE(world.commands(), (QStringList{QStringLiteral("/c"), kStart}));
        // The pause comes before the start command, not after it. File times come from the
        // kernel's coarse clock, which may lag by a tick, hence the small allowance; a pause
        // placed after the command would show a few milliseconds here.
        QVERIFY(called.msecsTo(QFileInfo(world.commandsFile()).lastModified()) >= 980);
    }

    void updateSwitchesToTheWorkingPageAndInstalls()
    {
        MainWindow window;
        toQuestionPage(window);
        MainWindowUi &ui = MainWindowTestAccess::ui(window);
        LogCapture capture;
        QTest::mouseClick(ui.updateBtn, Qt::LeftButton);
        const LogCapture::Lines log = capture.take();
        QCOMPARE(withoutDownloadLines(log.out), QStringList{QStringLiteral("downloadCompleteApplication")});
        QCOMPARE(visiblePageWidgets(ui), kWorkingPage);
        QVERIFY(!QFile::exists(QStringLiteral("nembral/nembral")));
        QVERIFY(MainWindowTestAccess::trackerTimer(window)->isActive());
        MainWindowTestAccess::workerThread(window)->wait();
        QVERIFY(QFile::exists(QStringLiteral("nembral/nembral.zip")));
    }

    // "Update to New Version" while the old tree cannot be wiped (on Windows: the application
    // still runs and holds its executable). Its version file would end the new installation
    // at the tracker's first tick and start the old application; instead nothing is
    // downloaded or started, and the error page says the application cannot be opened. Wherever
    // the wipe stops, the version file has gone first, so the next run installs afresh; only
    // when it cannot go itself does the whole tree stay. Each row locks one entry (chattr +i, or
    // its folder without write permission, the way without root, also run under root).
    void updateOverATreeThatCannotBeWiped_data()
    {
        QTest::addColumn<bool>("immutable");  // else: the folder of `locked` without write permission
        QTest::addColumn<QString>("locked");
        QTest::addColumn<QString>("failedPath");  // a regular expression
        QTest::addColumn<bool>("markerStays");
        // An entry locked inside does not keep the folder from moving aside here (it does on
        // Windows while the application runs): then the update goes on, the old tree kept whole.
        QTest::addColumn<bool>("setAside");
        QTest::newRow("the executable is held") << true << QStringLiteral("nembral/nembral/Nembrals.exe")
                                                << QStringLiteral("nembral/nembral/Nembrals\\.exe") << false << true;
        QTest::newRow("the installed folder cannot be changed")
            << true << QStringLiteral("nembral/nembral") << QStringLiteral("nembral/nembral/version\\.txt") << true << false;
        for (const QString &file : kInstalledFiles.mid(1))
            QTest::addRow("immutable %s", qPrintable(file))
                << true << file << QRegularExpression::escape(file) << (file == kMarker) << (file != kMarker);
        QTest::newRow("no write permission in the installed folder")
            << false << QStringLiteral("nembral/nembral") << QStringLiteral("nembral/nembral/version\\.txt") << true << false;
        // The folder is the first one the directory lists before the version file (empty: picked then).
        QTest::newRow("no write permission in a folder listed first") << false << QString() << QString() << false << true;
    }

    void updateOverATreeThatCannotBeWiped()
    {
        QFETCH(bool, immutable);
        QFETCH(QString, locked);
        QFETCH(QString, failedPath);
        QFETCH(bool, markerStays);
        QFETCH(bool, setAside);
        for (const QString &file : kInstalledFiles)
            QVERIFY(writeFile(file, file.toUtf8()));
        if (locked.isEmpty()) {  // folders are added until the directory lists one before the version file
            for (int i = 0; locked.isEmpty() && i < 64; ++i) {
                QVERIFY(writeFile(QStringLiteral("nembral/nembral/more%1/file").arg(i), "x"));
                QDirIterator it(QStringLiteral("nembral/nembral"), QDir::AllEntries | QDir::NoDotAndDotDot);
                while (locked.isEmpty() && it.hasNext() && !it.next().endsWith(QLatin1String("/version.txt")))
                    locked = it.fileInfo().isDir() ? it.filePath() : QString();
            }
            failedPath = QRegularExpression::escape(locked) + QStringLiteral("/.*");
        }
        MainWindow window;
        toQuestionPage(window);
        const QStringList before = entriesBelow(QStringLiteral("nembral"));
        std::optional<ImmutableFile> fixed;
        std::optional<UnwritableFolder> unwritable;
        if (immutable ? !fixed.emplace(locked).made() : !unwritable.emplace(locked).made())
            QSKIP("cannot lock the entry here (chattr +i needs root and a file system that supports it)");
        QThread *versionWorker = MainWindowTestAccess::workerThread(window);

        MainWindowUi &ui = MainWindowTestAccess::ui(window);
        LogCapture capture;
        QTest::mouseClick(ui.updateBtn, Qt::LeftButton);
        const LogCapture::Lines log = capture.take();
        fixed.reset();
        unwritable.reset();

        if (setAside) {
            QCOMPARE(withoutDownloadLines(log.out), QStringList{QStringLiteral("downloadCompleteApplication")});
            QCOMPARE(log.err, QStringList());
            QCOMPARE(visiblePageWidgets(ui), kWorkingPage);
            // The whole tree aside, its version file beside it, nothing left in its place.
            QStringList expected;
            for (const QString &entry : before)
                expected << (entry == kMarker ? QString::fromLatin1(kSetAsideVersionFile)
                                              : QString::fromLatin1(kSetAsideDir) + entry.mid(qsizetype(std::strlen(kInstallDir))));
            MainWindowTestAccess::workerThread(window)->wait();  // its package, whole or not at all
            QStringList aside = entriesBelow(QStringLiteral("nembral"));
            aside.removeAll(QStringLiteral("nembral/nembral.zip"));
            expected.sort();
            QCOMPARE(aside, expected);
            return;
        }
        QCOMPARE(log.out, QStringList());
        const QRegularExpression line(QStringLiteral("^cannot install: \"(%1)\" could not be removed: %2$")
                                          .arg(failedPath, QString::fromLocal8Bit(std::strerror(immutable ? EPERM : EACCES))));
        QVERIFY2(log.err.size() == 1 && line.match(log.err.first()).hasMatch(), qPrintable(log.err.join(QLatin1Char('\n'))));
        QCOMPARE(visiblePageWidgets(ui), kErrorPage);
        QCOMPARE(MainWindowTestAccess::trackerTimer(window), nullptr);
        QCOMPARE(MainWindowTestAccess::workerThread(window), versionWorker);
        QTest::qWait(300);
        QVERIFY(!QFile::exists(QStringLiteral("nembral/nembral.zip")));
        QCOMPARE(world.commands(), QStringList());
        // What the next run finds: no version file (it installs), or the tree as it was.
        QCOMPARE(bool(canOpenForReading(kMarker.toStdString())), markerStays);
        if (markerStays)
            QCOMPARE(entriesBelow(QStringLiteral("nembral")), before);
        else
            QVERIFY(QFileInfo::exists(line.match(log.err.first()).captured(1)));
    }

    void exitOnTheErrorPageQuitsQuietly()
    {
        MainWindow window;
        decided(window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        {
            LogCapture capture;
            window.startApplication();
            capture.take();
        }
        MainWindowUi &ui = MainWindowTestAccess::ui(window);
        QCOMPARE(visiblePageWidgets(ui), kErrorPage);
        LogCapture::Lines log;
        QTimer::singleShot(0, &window, [&] {
            LogCapture capture;
            QTest::mouseClick(ui.exitBtn, Qt::LeftButton);
            log = capture.take();
        });
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(log.out, QStringList());
        QCOMPARE(log.err, QStringList());
        QTest::qWait(200);
        QCOMPARE(world.commands(), QStringList());
    }
};

QTEST_MAIN(TestLaunch)
#include "tst_launch.moc"

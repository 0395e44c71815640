// The window object: state right after construction, its worker's hand-over, how main() shows
// it, and the keyboard focus its pages give.
#include "support/mainwindowtestaccess.h"
#include "platform/downloadstatus.h"
#include "support/testfiles.h"

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>

namespace {

// Puts the installed and the published version in place and has the window decide: the
// question page.
bool reachQuestionPage(MainWindow &window)
{
    if (!QDir().mkpath(QStringLiteral("nembral/nembral")))
        return false;
    for (const auto &[path, version] : {std::pair{"nembral/nembral/version.txt", "1.0"}, std::pair{"version.txt", "1.1"}}) {
        QFile file(QString::fromLatin1(path));
        if (!file.open(QIODevice::WriteOnly) || file.write(version) != 3)
            return false;
    }
    downloadStatus.versionFileDownloaded.store(true);
    const bool invoked = QMetaObject::invokeMethod(&window, "checkVersionLoop");
    downloadStatus.versionFileDownloaded.store(false);
    return invoked && !MainWindowTestAccess::ui(window).info->isHidden();
}

}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

    ScratchDir scratch;

private Q_SLOTS:
    void initTestCase()
    {
        // Slots touch files relative to the working directory: keep them in a scratch folder.
        QVERIFY(scratch.enterFreshWorkDir());
    }

    void cleanupTestCase() { scratch.leaveWorkDir(); }

    void afterConstruction()
    {
        MainWindow window;
        MainWindowUi &ui = MainWindowTestAccess::ui(window);

        QVERIFY(!window.isVisible());
        QVERIFY(ui.dialog->isHidden());
        QVERIFY(!ui.progress->isHidden());
        QVERIFY(!ui.loadingIcon->isHidden());
        QCOMPARE(ui.progress->text(), QStringLiteral("Checking Version ..."));

        QTimer *timer = MainWindowTestAccess::versionTimer(window);
        QVERIFY(timer);
        QCOMPARE(timer->parent(), &window);
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 1000);
        QVERIFY(!timer->isSingleShot());
        QCOMPARE(MainWindowTestAccess::trackerTimer(window), nullptr);

        QMovie *movie = MainWindowTestAccess::loadingMovie(window);
        QVERIFY(movie);
        QCOMPARE(movie->parent(), nullptr);
        QCOMPARE(ui.loadingIcon->movie(), movie);
        QCOMPARE(movie->state(), QMovie::Running);

        QThread *worker = MainWindowTestAccess::workerThread(window);
        QVERIFY(worker);
        QCOMPARE(worker->parent(), nullptr);
        QVERIFY(worker->isRunning() || worker->isFinished());

        QVERIFY(!window.windowIcon().isNull());
    }

    void workerGivesUpOnTheGuiThreadAndNeverReachesADeadWindow()
    {
        // The vendor is unreachable in this build: every attempt fails at once. One window
        // stays and must end on the error page; the other is destroyed while its worker is
        // still retrying, and its worker's last call must not reach it.
        MainWindow window;
        auto *doomed = new MainWindow;
        QThread *worker = MainWindowTestAccess::workerThread(window);
        QThread *orphan = MainWindowTestAccess::workerThread(*doomed);
        delete doomed;
        QVERIFY(orphan->isRunning());

        QElapsedTimer clock;
        clock.start();
        QVERIFY(worker->wait(20000));
        QVERIFY(orphan->wait(20000));
        QVERIFY(clock.elapsed() >= 5000);  // six attempts with a pause after each failure
        QVERIFY(!downloadStatus.versionFileDownloaded.load());

        // The hand-over is queued: nothing changed until the event loop runs it.
        MainWindowUi &ui = MainWindowTestAccess::ui(window);
        QVERIFY(ui.dialog->isHidden());
        QTRY_VERIFY(!ui.dialog->isHidden());
        QVERIFY(!ui.info_error->isHidden());
        QVERIFY(!ui.exitBtn->isHidden());
        QVERIFY(ui.progress->isHidden());
        QVERIFY(MainWindowTestAccess::versionTimer(window)->isActive());
        QTest::qWait(200);
        delete orphan;
    }

    // main() shows the window without the system's frame, title bar or buttons (the flags are
    // exactly Qt::Window | Qt::FramelessWindowHint, 0x801) and over a see-through background.
    // Read from the launcher's own main(), run with a probe (windowprobe.cpp).
    void mainShowsAFramelessSeeThroughWindow()
    {
        QProcess probe;
        probe.setWorkingDirectory(scratch.workDir());
        probe.start(QStringLiteral(NEMBRAL_WINDOW_PROBE), {QStringLiteral("-platform"), QStringLiteral("offscreen")});
        QVERIFY(probe.waitForFinished(30000));
        QCOMPARE(probe.exitCode(), 0);
        // Lines end in CR LF on Windows.
        const QStringList lines = QString::fromLocal8Bit(probe.readAllStandardOutput()).remove(QLatin1Char('\r')).split(QLatin1Char('\n'));
        const QStringList reported = lines.filter(QStringLiteral("window flags"));
        QCOMPARE(reported, QStringList{QStringLiteral("window flags 0x801, translucent background 1, visible 1")});
    }

    // The page that asks for an answer puts the keyboard on its first button, so that a
    // keyboard or screen-reader user can answer at once: Enter updates, Tab then Space skips
    // (here to the error page, nothing being installed), whose Exit then has the focus.
    void pagesFocusTheirFirstButton_data()
    {
        QTest::addColumn<QList<int>>("keys");
        QTest::addColumn<QString>("focused");
        QTest::addColumn<QString>("page");
        QTest::newRow("question") << QList<int>{} << "updateBtn"
                                  << "question";
        QTest::newRow("skip by keyboard") << QList<int>{Qt::Key_Tab, Qt::Key_Space} << "exitBtn"
                                          << "error";
        QTest::newRow("update by keyboard") << QList<int>{Qt::Key_Return} << QString() << "working";
    }

    void pagesFocusTheirFirstButton()
    {
        QFETCH(QList<int>, keys);
        QFETCH(QString, focused);
        QFETCH(QString, page);
        MainWindow window;
        MainWindowUi &ui = MainWindowTestAccess::ui(window);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QVERIFY(reachQuestionPage(window));
        // Only the installed version file: the executable is missing, so "Skip Update" ends on
        // the error page.
        for (const int key : std::as_const(keys))
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QCOMPARE(!ui.info->isHidden() && !ui.dialog->isHidden(), page == QLatin1String("question"));
        QCOMPARE(!ui.info_error->isHidden() && !ui.dialog->isHidden(), page == QLatin1String("error"));
        QCOMPARE(ui.dialog->isHidden(), page == QLatin1String("working"));
        if (!focused.isEmpty()) {
            QWidget *widget = window.findChild<QWidget *>(focused);
            QCOMPARE(QApplication::focusWidget(), widget);
            QVERIFY(QAccessible::queryAccessibleInterface(widget)->state().focused);
        }
        QVERIFY(QDir(QStringLiteral("nembral")).removeRecursively());
        QFile::remove(QStringLiteral("version.txt"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"

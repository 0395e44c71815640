// The form: a layout in which no page covers its own widgets, styles that parse and show, the
// translated texts and the keys. Which widget lies in which (the pages hide "dialog" alone) is
// what the workflow suites' page checks see.
#include "ui/mainwindowui.h"

#include <QAccessible>
#include <QApplication>
#include <QCursor>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTranslator>

namespace {

// A window with the three slots the form connects by name, counting clicks.
class FormHost : public QMainWindow {
    Q_OBJECT
public:
    int updates = 0, starts = 0, exits = 0;
private Q_SLOTS:
    void on_updateBtn_clicked() { ++updates; }
    void on_startBtn_clicked() { ++starts; }
    void on_exitBtn_clicked() { ++exits; }
};

// Records every text the form asks to have translated, and translates nothing.
class RecordingTranslator : public QTranslator {
public:
    mutable QStringList asked;
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *disambiguation, int n) const override
    {
        asked << QString::fromUtf8(context) + QLatin1Char('|') + QString::fromUtf8(sourceText) + QLatin1Char('|')
                     + QString::number(disambiguation == nullptr) + QLatin1Char('|') + QString::number(n);
        return {};
    }
};

// Colours as drawn. Under the native Windows style a style-sheet button's background comes out
// a few levels off the sheet's colour (#1e1e1e for #1a1a1a under wine), so there the button
// colours are compared within that margin; elsewhere exactly.
bool drawnAs(QColor actual, QColor expected)
{
#ifdef Q_OS_WIN
    const int margin = 6;
#else
    const int margin = 0;
#endif
    return qAbs(actual.red() - expected.red()) <= margin && qAbs(actual.green() - expected.green()) <= margin
           && qAbs(actual.blue() - expected.blue()) <= margin;
}

QRgb pixelAt(QWidget &window, QPoint point)
{
    return window.grab().toImage().pixel(point);
}

}  // namespace

class TestMainWindowUi : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        // Qt only warns about a style sheet it cannot parse, or an on_<name>_<signal> slot
        // that finds no widget of that name; here either is a failure.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("stylesheet|connectSlotsByName")));
    }

    // What each page shows, besides the logo and the notice, must lie inside the 600 x 300
    // window and leave every other shown widget uncovered; the form itself hides none of it.
    void pagesFitTheWindow_data()
    {
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("question") << QStringList{QStringLiteral("info"), QStringLiteral("startBtn"), QStringLiteral("updateBtn")};
        QTest::newRow("error") << QStringList{QStringLiteral("info_error"), QStringLiteral("exitBtn")};
        QTest::newRow("working") << QStringList{QStringLiteral("progress"), QStringLiteral("loadingIcon")};
    }

    void pagesFitTheWindow()
    {
        QFETCH(QStringList, shown);
        QMainWindow window;
        MainWindowUi ui;
        ui.setup(&window);
        QCOMPARE(window.size(), QSize(600, 300));
        shown << QStringLiteral("label") << QStringLiteral("licence");

        // The text rows are 601 pixels wide: their parent clips the column past the window.
        const QRect inside(0, 0, 601, 300);
        QList<QRect> placed;
        for (const QString &name : std::as_const(shown)) {
            QWidget *widget = window.findChild<QWidget *>(name);
            QVERIFY2(widget && !widget->isHidden(), qPrintable(name));
            const QRect rect(widget->mapTo(&window, QPoint(0, 0)), widget->size());
            QVERIFY2(!rect.isEmpty() && inside.contains(rect), qPrintable(name));
            for (const QRect &other : std::as_const(placed))
                QVERIFY2(!rect.intersects(other), qPrintable(name));
            placed << rect;
        }
    }

    // What the user sees of the styles: the dark rounded panel, the buttons darker than the
    // hover colour, which only the button under the mouse takes.
    void panelAndButtonsAsSeen()
    {
        QMainWindow window;
        MainWindowUi ui;
        ui.setup(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const QPoint emptyPanel(300, 60), corner(0, 0);
        const QPoint update = ui.updateBtn->mapTo(&window, QPoint(4, 15));
        const QPoint start = ui.startBtn->mapTo(&window, QPoint(4, 15));
        QCOMPARE(QColor(pixelAt(window, emptyPanel)), QColor(0x09, 0x09, 0x09));
        QVERIFY(QColor(pixelAt(window, corner)) != QColor(0x09, 0x09, 0x09));  // rounded off
        QVERIFY2(drawnAs(QColor(pixelAt(window, update)), QColor(0x1a, 0x1a, 0x1a)),
                 qPrintable(QColor(pixelAt(window, update)).name()));

        QTest::mouseMove(ui.updateBtn, QPoint(20, 15));
        QTRY_VERIFY(ui.updateBtn->underMouse());
        QVERIFY2(drawnAs(QColor(pixelAt(window, update)), QColor(0x4d, 0x4d, 0x4d)),
                 qPrintable(QColor(pixelAt(window, update)).name()));
        QVERIFY2(drawnAs(QColor(pixelAt(window, start)), QColor(0x1a, 0x1a, 0x1a)),
                 qPrintable(QColor(pixelAt(window, start)).name()));
    }

    // The notice is one line that fits its 381 x 12 pixel label at its 8 pixel font.
    void noticeFitsItsLine()
    {
        QMainWindow window;
        MainWindowUi ui;
        ui.setup(&window);
        ui.licence->ensurePolished();
        QVERIFY(!ui.licence->text().isEmpty());
        QVERIFY(!ui.licence->text().contains(QLatin1Char('\n')));
        QVERIFY(ui.licence->fontMetrics().horizontalAdvance(ui.licence->text()) <= ui.licence->width());
        QVERIFY(ui.licence->fontMetrics().height() <= ui.licence->height());
    }

    // The hand over the buttons, the diagonal arrow over the animation, the inherited arrow
    // everywhere else.
    void cursors_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("shape");
        for (const char *button : {"updateBtn", "startBtn", "exitBtn"})
            QTest::newRow(button) << QString::fromLatin1(button) << int(Qt::PointingHandCursor);
        QTest::newRow("loadingIcon") << "loadingIcon" << int(Qt::SizeBDiagCursor);
        for (const char *other : {"background", "dialog", "info", "info_error", "label", "licence", "progress"})
            QTest::newRow(other) << QString::fromLatin1(other) << int(Qt::ArrowCursor);
    }

    void cursors()
    {
        QFETCH(QString, name);
        QFETCH(int, shape);
        QMainWindow window;
        MainWindowUi ui;
        ui.setup(&window);
        QCOMPARE(int(window.findChild<QWidget *>(name)->cursor().shape()), shape);
    }

    // The user-visible texts go through the translation call with the window's context; the
    // empty texts of the image labels and the status line do not.
    void textsAskForTranslation()
    {
        RecordingTranslator translator;
        QVERIFY(QCoreApplication::installTranslator(&translator));
        QMainWindow window;
        MainWindowUi ui;
        ui.setup(&window);
        QCoreApplication::removeTranslator(&translator);

        QStringList sources;
        for (const QString &entry : std::as_const(translator.asked)) {
            const QStringList parts = entry.split(QLatin1Char('|'));
            QCOMPARE(parts.size(), 4);
            if (parts[0] != QLatin1String("MainWindow"))
                continue;                              // the toolkit's own texts
            QCOMPARE(parts[2], QStringLiteral("1"));   // no disambiguation
            QCOMPARE(parts[3], QStringLiteral("-1"));  // no plural number
            sources << parts[1];
        }
        const QStringList expected = {QStringLiteral("MainWindow"), QStringLiteral("Update to New Version"),
                                      QStringLiteral("Skip Update"),
                                      QStringLiteral("A new version of this software is available. Do you wish to install it?"),
                                      QStringLiteral("Exit"),
                                      QStringLiteral("Could not open Nembral. Please meake sure you have an internet connection."),
                                      ui.licence->text()};
        // Then what assistive technology reads besides the visible texts.
        QCOMPARE(sources.mid(0, expected.size()), expected);
        QVERIFY(sources.contains(QStringLiteral("Nembral Launcher")));
        QVERIFY(sources.contains(QStringLiteral("Launcher status")));
    }

    void imagesSurviveRetranslate()
    {
        QMainWindow window;
        MainWindowUi ui;
        ui.setup(&window);
        ui.retranslate(&window);
        for (QLabel *label : {ui.label, ui.loadingIcon}) {
            QVERIFY2(!label->pixmap().isNull(), qPrintable(label->objectName()));
            QVERIFY(label->hasScaledContents());  // drawn into the label's size, not cropped
        }
        QVERIFY(ui.progress->text().isEmpty());
    }

    // What a screen reader is told of each widget a user meets: its role, name and description,
    // read through Qt's accessibility interface. The window title stays "MainWindow"; the
    // status line's name is its text, so it reads what the launcher is doing.
    void accessibleTexts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("accessibleName");
        QTest::addColumn<QString>("description");
        QTest::newRow("window") << QString() << int(QAccessible::Window) << "Nembral Launcher"
                                << "Checks for, installs and starts Nembral.";
        QTest::newRow("logo") << "label" << int(QAccessible::Graphic) << "Nembral"
                              << "Nembral logo";
        QTest::newRow("animation") << "loadingIcon" << int(QAccessible::Graphic) << "Working"
                                   << "Shown while the launcher checks or installs Nembral.";
        QTest::newRow("status line") << "progress" << int(QAccessible::StaticText) << "Checking Version ..."
                                     << "Launcher status";
        QTest::newRow("question") << "info" << int(QAccessible::StaticText)
                                  << "A new version of this software is available. Do you wish to install it?"
                                  << "Update question";
        QTest::newRow("error") << "info_error" << int(QAccessible::StaticText)
                               << "Could not open Nembral. Please meake sure you have an internet connection."
                               << "Nembral cannot be opened";
        QTest::newRow("update") << "updateBtn" << int(QAccessible::Button) << "Update to New Version"
                                << "Installs the new version of Nembral, then starts it.";
        QTest::newRow("skip") << "startBtn" << int(QAccessible::Button) << "Skip Update"
                              << "Starts the installed version of Nembral without updating.";
        QTest::newRow("exit") << "exitBtn" << int(QAccessible::Button) << "Exit"
                              << "Closes the launcher.";
        QTest::newRow("notice") << "licence" << int(QAccessible::StaticText) << QString() << "Legal notice";
    }

    void accessibleTexts()
    {
        QFETCH(QString, name);
        QFETCH(int, role);
        QFETCH(QString, accessibleName);
        QFETCH(QString, description);
        QMainWindow window;
        MainWindowUi ui;
        ui.setup(&window);
        ui.progress->setText(QStringLiteral("Checking Version ..."));
        QWidget *widget = name.isEmpty() ? &window : window.findChild<QWidget *>(name);
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(widget);
        QVERIFY(iface);
        QCOMPARE(int(iface->role()), role);
        // The notice is read as it stands.
        QCOMPARE(iface->text(QAccessible::Name), accessibleName.isEmpty() ? ui.licence->text() : accessibleName);
        QCOMPARE(iface->text(QAccessible::Description), description);
        QCOMPARE(window.windowTitle(), QStringLiteral("MainWindow"));
    }

    // Keyboard alone: Tab and Shift+Tab move between the buttons shown (labels take no focus),
    // Enter, Return and Space press the focused one, which reaches its slot once.
    void keyboardPressesTheFocusedButton_data()
    {
        QTest::addColumn<QString>("focusFirst");
        QTest::addColumn<QList<int>>("keys");
        QTest::addColumn<QString>("focusAfter");
        QTest::addColumn<QList<int>>("clicks");  // update, skip, exit
        const QList<int> none = {0, 0, 0};
        QTest::newRow("Return on update") << "updateBtn" << QList<int>{Qt::Key_Return} << "updateBtn"
                                          << QList<int>{1, 0, 0};
        QTest::newRow("Enter on update") << "updateBtn" << QList<int>{Qt::Key_Enter} << "updateBtn"
                                         << QList<int>{1, 0, 0};
        QTest::newRow("Tab, Space on skip") << "updateBtn" << QList<int>{Qt::Key_Tab, Qt::Key_Space} << "startBtn"
                                            << QList<int>{0, 1, 0};
        QTest::newRow("Tab, Return on skip") << "updateBtn" << QList<int>{Qt::Key_Tab, Qt::Key_Return}
                                             << "startBtn" << QList<int>{0, 1, 0};
        QTest::newRow("Tab twice comes back") << "updateBtn" << QList<int>{Qt::Key_Tab, Qt::Key_Tab} << "updateBtn"
                                              << none;
        QTest::newRow("Shift+Tab") << "updateBtn" << QList<int>{Qt::Key_Backtab} << "startBtn" << none;
        QTest::newRow("Return on exit") << "exitBtn" << QList<int>{Qt::Key_Return} << "exitBtn"
                                        << QList<int>{0, 0, 1};
        QTest::newRow("Tab stays on exit") << "exitBtn" << QList<int>{Qt::Key_Tab} << "exitBtn" << none;
    }

    void keyboardPressesTheFocusedButton()
    {
        QFETCH(QString, focusFirst);
        QFETCH(QList<int>, keys);
        QFETCH(QString, focusAfter);
        QFETCH(QList<int>, clicks);
        FormHost window;
        MainWindowUi ui;
        ui.setup(&window);
        // The question page's buttons, or the error page's one.
        const bool question = focusFirst == QLatin1String("updateBtn");
        ui.info->setVisible(question);
        ui.updateBtn->setVisible(question);
        ui.startBtn->setVisible(question);
        ui.info_error->setVisible(!question);
        ui.exitBtn->setVisible(!question);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.findChild<QWidget *>(focusFirst)->setFocus(Qt::OtherFocusReason);
        for (const int key : std::as_const(keys))
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QVERIFY(QApplication::focusWidget());
        QCOMPARE(QApplication::focusWidget()->objectName(), focusAfter);
        QVERIFY(QAccessible::queryAccessibleInterface(QApplication::focusWidget())->state().focused);
        QCOMPARE((QList<int>{window.updates, window.starts, window.exits}), clicks);
    }
};

QTEST_MAIN(TestMainWindowUi)
#include "tst_mainwindowui.moc"

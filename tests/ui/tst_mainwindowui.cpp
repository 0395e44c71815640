// The form: the names, types and parents that the window's pages and the by-name button wiring
// rely on, a layout in which no page covers its own widgets, styles that parse and show, the
// translated texts and the clicks.
#include "ui/mainwindowui.h"

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

QWidget *field(MainWindowUi &ui, const QString &name)
{
    const std::pair<const char *, QWidget *> fields[] = {
        {"centralwidget", ui.centralwidget}, {"background", ui.background}, {"dialog", ui.dialog}, {"updateBtn", ui.updateBtn}, {"startBtn", ui.startBtn}, {"info", ui.info}, {"exitBtn", ui.exitBtn}, {"info_error", ui.info_error}, {"label", ui.label}, {"licence", ui.licence}, {"loadingIcon", ui.loadingIcon}, {"progress", ui.progress}};
    for (const auto &[fieldName, widget] : fields)
        if (name == QLatin1String(fieldName))
            return widget;
    return nullptr;
}

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

    // The pages hide "dialog" to hide the question and the error at once, and show "progress"
    // and "loadingIcon" on their own, so those two must not live in "dialog". The by-name
    // wiring finds the buttons by their object names.
    void tree_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("parent");
        const QString central = QStringLiteral("centralwidget"), background = QStringLiteral("background"),
                      dialog = QStringLiteral("dialog");
        QTest::newRow("centralwidget") << central << "QWidget"
                                       << "MainWindow";
        QTest::newRow("background") << background << "QWidget" << central;
        QTest::newRow("dialog") << dialog << "QWidget" << background;
        QTest::newRow("updateBtn") << "updateBtn"
                                   << "QPushButton" << dialog;
        QTest::newRow("startBtn") << "startBtn"
                                  << "QPushButton" << dialog;
        QTest::newRow("info") << "info"
                              << "QLabel" << dialog;
        QTest::newRow("exitBtn") << "exitBtn"
                                 << "QPushButton" << dialog;
        QTest::newRow("info_error") << "info_error"
                                    << "QLabel" << dialog;
        QTest::newRow("label") << "label"
                               << "QLabel" << background;
        QTest::newRow("licence") << "licence"
                                 << "QLabel" << background;
        QTest::newRow("loadingIcon") << "loadingIcon"
                                     << "QLabel" << background;
        QTest::newRow("progress") << "progress"
                                  << "QLabel" << background;
    }

    void tree()
    {
        QFETCH(QString, name);
        QFETCH(QString, type);
        QFETCH(QString, parent);
        QMainWindow window;
        MainWindowUi ui;
        ui.setup(&window);

        QWidget *widget = field(ui, name);
        QVERIFY(widget);
        QCOMPARE(widget->objectName(), name);
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), type);
        QVERIFY(widget->parentWidget());
        QCOMPARE(widget->parentWidget()->objectName(), parent);
        QCOMPARE(window.findChildren<QWidget *>(name).size(), 1);
        // Nothing is hidden or shown by the form itself.
        QVERIFY(!widget->isHidden());
    }

    // What each page shows, besides the logo and the notice, must lie inside the 600 x 300
    // window and leave every other shown widget uncovered.
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
            QWidget *widget = field(ui, name);
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
        QCOMPARE(int(field(ui, name)->cursor().shape()), shape);
    }

    void installsOnTheWindow_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("unnamed window") << QString() << QStringLiteral("MainWindow");
        QTest::newRow("named window keeps its name") << QStringLiteral("Launcher") << QStringLiteral("Launcher");
    }

    void installsOnTheWindow()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QMainWindow window;
        window.setObjectName(before);
        MainWindowUi ui;
        ui.setup(&window);
        QCOMPARE(window.objectName(), after);
        QCOMPARE(window.centralWidget(), ui.centralwidget);
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
        QCOMPARE(sources, expected);
        QCOMPARE(window.windowTitle(), QStringLiteral("MainWindow"));
        QCOMPARE(ui.updateBtn->text(), expected[1]);
        QCOMPARE(ui.info_error->text(), expected[5]);
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

    void buttonsReachTheirSlotsOncePerClick()
    {
        FormHost window;
        MainWindowUi ui;
        ui.setup(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::mouseClick(ui.updateBtn, Qt::LeftButton);
        QTest::mouseClick(ui.startBtn, Qt::LeftButton);
        QTest::mouseClick(ui.startBtn, Qt::LeftButton);
        QTest::mouseClick(ui.exitBtn, Qt::LeftButton);
        QCOMPARE(window.updates, 1);
        QCOMPARE(window.starts, 2);
        QCOMPARE(window.exits, 1);
    }
};

QTEST_MAIN(TestMainWindowUi)
#include "tst_mainwindowui.moc"

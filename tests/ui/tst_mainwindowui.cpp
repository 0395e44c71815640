// The form: every widget's identity, place, look and text, and the by-name button wiring.
#include "ui/mainwindowui.h"

#include <QCursor>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTranslator>

namespace {

QString panelStyle() { return QStringLiteral("\nbackground-color: #090909;\nborder-radius: 7px;\n"); }

QString buttonStyle()
{
    return QStringLiteral(
        "QPushButton{\nborder-radius: 5px;\nbackground: #1A1A1A;\n\ncolor: #FFF;\ntext-align: center;\n"
        "font-family: Inter;\nfont-size: 14px;\nfont-style: normal;\nfont-weight: 500;\nline-height: normal;\n}\n"
        "\nQPushButton:hover{\nborder: 1px solid rgba(255, 255, 255, 0.40);\nbackground-color: #4d4d4d; \n}");
}

QString cyanStyle(int fontSize)
{
    return QStringLiteral("color: #00FFF7;\nfont-family: Inter;\nfont-size: %1px;\nfont-style: normal;\n"
                          "font-weight: 500;\nline-height: normal;\nbackground-color: rgba(255, 255, 255, 0);")
        .arg(fontSize);
}

QString noticeStyle()
{
    return QStringLiteral("border-radius: 2px;\nbackground-color: rgba(255, 255, 255, 0);\ncolor: rgb(122, 122, 122);\n"
                          "font-family: Inter;\nfont-size: 8px;\nfont-style: normal;\nfont-weight: 500;\nline-height: normal;");
}

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
        {"centralwidget", ui.centralwidget}, {"background", ui.background}, {"dialog", ui.dialog},
        {"updateBtn", ui.updateBtn}, {"startBtn", ui.startBtn}, {"info", ui.info},
        {"exitBtn", ui.exitBtn}, {"info_error", ui.info_error}, {"label", ui.label},
        {"licence", ui.licence}, {"loadingIcon", ui.loadingIcon}, {"progress", ui.progress}};
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

} // namespace

class TestMainWindowUi : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void styleSheetLengths()
    {
        // The lengths the style sheets were designed with; a lost blank or line feed shows here.
        QCOMPARE(panelStyle().size(), 48);
        QCOMPARE(buttonStyle().size(), 280);
        QCOMPARE(cyanStyle(16).size(), 153);
        QCOMPARE(noticeStyle().size(), 183);
    }

    void widgets_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("styleSheet");
        QTest::addColumn<int>("cursor");  // -1: inherited
        QTest::addColumn<int>("alignment");  // -1: not a text label of ours
        QTest::addColumn<QString>("text");

        const QRect none;
        const int hand = Qt::PointingHandCursor;
        const int centre = int(Qt::AlignCenter);
        QTest::newRow("centralwidget") << "centralwidget" << "QWidget" << "MainWindow" << none << QString() << -1 << -1 << QString();
        QTest::newRow("background") << "background" << "QWidget" << "centralwidget" << QRect(0, 0, 600, 300) << panelStyle() << -1 << -1 << QString();
        QTest::newRow("dialog") << "dialog" << "QWidget" << "background" << QRect(0, 97, 601, 181) << QString() << -1 << -1 << QString();
        QTest::newRow("updateBtn") << "updateBtn" << "QPushButton" << "dialog" << QRect(110, 70, 170, 30) << buttonStyle() << hand << -1 << "Update to New Version";
        QTest::newRow("startBtn") << "startBtn" << "QPushButton" << "dialog" << QRect(320, 70, 170, 30) << buttonStyle() << hand << -1 << "Skip Update";
        QTest::newRow("info") << "info" << "QLabel" << "dialog" << QRect(0, 10, 601, 31) << cyanStyle(16) << -1 << centre
                              << "A new version of this software is available. Do you wish to install it?";
        QTest::newRow("exitBtn") << "exitBtn" << "QPushButton" << "dialog" << QRect(215, 70, 170, 30) << buttonStyle() << hand << -1 << "Exit";
        QTest::newRow("info_error") << "info_error" << "QLabel" << "dialog" << QRect(0, 10, 601, 31) << cyanStyle(14) << -1 << centre
                                    << "Could not open Nembral. Please meake sure you have an internet connection.";
        QTest::newRow("label") << "label" << "QLabel" << "background" << QRect(10, 10, 284, 26) << QString() << -1 << int(Qt::AlignLeft | Qt::AlignVCenter) << QString();
        QTest::newRow("licence") << "licence" << "QLabel" << "background" << QRect(10, 280, 381, 12) << noticeStyle() << -1 << int(Qt::AlignLeft | Qt::AlignVCenter) << "*";
        QTest::newRow("loadingIcon") << "loadingIcon" << "QLabel" << "background" << QRect(280, 130, 41, 41) << QString() << int(Qt::SizeBDiagCursor) << int(Qt::AlignLeft | Qt::AlignVCenter) << QString();
        QTest::newRow("progress") << "progress" << "QLabel" << "background" << QRect(0, 190, 601, 20) << cyanStyle(12) << -1 << centre << QString();
    }

    void widgets()
    {
        QFETCH(QString, name);
        QFETCH(QString, type);
        QFETCH(QString, parent);
        QFETCH(QRect, geometry);
        QFETCH(QString, styleSheet);
        QFETCH(int, cursor);
        QFETCH(int, alignment);
        QFETCH(QString, text);

        QMainWindow window;
        MainWindowUi ui;
        ui.setup(&window);

        QWidget *widget = field(ui, name);
        QVERIFY(widget);
        QCOMPARE(widget->objectName(), name);
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), type);
        QVERIFY(widget->parentWidget());
        QCOMPARE(widget->parentWidget()->objectName(), parent);
        if (geometry.isValid())
            QCOMPARE(widget->geometry(), geometry);
        QCOMPARE(widget->styleSheet(), styleSheet);
        if (cursor >= 0) {
            QVERIFY(widget->testAttribute(Qt::WA_SetCursor));
            QCOMPARE(int(widget->cursor().shape()), cursor);
        } else {
            QVERIFY(!widget->testAttribute(Qt::WA_SetCursor));
        }
        if (auto *label = qobject_cast<QLabel *>(widget)) {
            QCOMPARE(int(label->alignment()), alignment);
            if (text == QLatin1String("*")) {
                QVERIFY(!label->text().isEmpty());
                // One line that fits its 381 x 12 pixel label.
                QVERIFY(!label->text().contains(QLatin1Char('\n')));
                label->ensurePolished();  // the 8 px font comes from the style sheet
                QCOMPARE(label->font().pixelSize(), 8);
                QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= 381);
            } else {
                QCOMPARE(label->text(), text);
            }
        }
        if (auto *button = qobject_cast<QPushButton *>(widget))
            QCOMPARE(button->text(), text);
        // Nothing is hidden or shown by the form itself.
        QVERIFY(!widget->isHidden());
    }

    void windowAndOrder()
    {
        QMainWindow window;
        MainWindowUi ui;
        ui.setup(&window);
        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window.size(), QSize(600, 300));
        QCOMPARE(window.windowTitle(), QStringLiteral("MainWindow"));
        QCOMPARE(window.centralWidget(), ui.centralwidget);

        // Creation order decides stacking: loadingIcon and progress lie above dialog.
        const QStringList expected = {QStringLiteral("dialog"), QStringLiteral("label"), QStringLiteral("licence"),
                                      QStringLiteral("loadingIcon"), QStringLiteral("progress")};
        QStringList children;
        for (QObject *child : ui.background->children())
            children << child->objectName();
        QCOMPARE(children, expected);
        const QStringList dialogChildren = {QStringLiteral("updateBtn"), QStringLiteral("startBtn"), QStringLiteral("info"),
                                            QStringLiteral("exitBtn"), QStringLiteral("info_error")};
        children.clear();
        for (QObject *child : ui.dialog->children())
            children << child->objectName();
        QCOMPARE(children, dialogChildren);
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
                continue;  // the toolkit's own texts
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
    }

    void existingObjectNameIsKept()
    {
        QMainWindow window;
        window.setObjectName(QStringLiteral("Launcher"));
        MainWindowUi ui;
        ui.setup(&window);
        QCOMPARE(window.objectName(), QStringLiteral("Launcher"));
    }

    void imagesSurviveRetranslate()
    {
        QMainWindow window;
        MainWindowUi ui;
        ui.setup(&window);
        ui.retranslate(&window);
        for (QLabel *label : {ui.label, ui.loadingIcon}) {
            QVERIFY2(!label->pixmap().isNull(), qPrintable(label->objectName()));
            QVERIFY(label->hasScaledContents());
        }
        QCOMPARE(ui.label->pixmap().size(), QSize(1140, 114));
        QCOMPARE(ui.loadingIcon->pixmap().size(), QSize(41, 41));
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

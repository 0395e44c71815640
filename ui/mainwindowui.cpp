#include "ui/mainwindowui.h"

#include <QCoreApplication>
#include <QCursor>
#include <QLabel>
#include <QMainWindow>
#include <QMetaObject>
#include <QPixmap>
#include <QPushButton>
#include <QWidget>

#include <type_traits>

namespace {

const char kPanelStyle[] = "\nbackground-color: #090909;\nborder-radius: 7px;\n";

const char kButtonStyle[] = "QPushButton{\n"
                            "border-radius: 5px;\n"
                            "background: #1A1A1A;\n"
                            "\n"
                            "color: #FFF;\n"
                            "text-align: center;\n"
                            "font-family: Inter;\n"
                            "font-size: 14px;\n"
                            "font-style: normal;\n"
                            "font-weight: 500;\n"
                            "line-height: normal;\n"
                            "}\n"
                            "\n"
                            "QPushButton:hover{\n"
                            "border: 1px solid rgba(255, 255, 255, 0.40);\n"
                            "background-color: #4d4d4d; \n"
                            "}";

// The three cyan text styles differ only in their font size.
const char kQuestionStyle[] = "color: #00FFF7;\nfont-family: Inter;\nfont-size: 16px;\nfont-style: normal;\n"
                              "font-weight: 500;\nline-height: normal;\nbackground-color: rgba(255, 255, 255, 0);";
const char kErrorStyle[] = "color: #00FFF7;\nfont-family: Inter;\nfont-size: 14px;\nfont-style: normal;\n"
                           "font-weight: 500;\nline-height: normal;\nbackground-color: rgba(255, 255, 255, 0);";
const char kStatusStyle[] = "color: #00FFF7;\nfont-family: Inter;\nfont-size: 12px;\nfont-style: normal;\n"
                            "font-weight: 500;\nline-height: normal;\nbackground-color: rgba(255, 255, 255, 0);";

const char kNoticeStyle[] = "border-radius: 2px;\nbackground-color: rgba(255, 255, 255, 0);\ncolor: rgb(122, 122, 122);\n"
                            "font-family: Inter;\nfont-size: 8px;\nfont-style: normal;\nfont-weight: 500;\nline-height: normal;";

template <typename Widget>
Widget *makeWidget(QWidget *parent, const char *objectName, int x, int y, int width, int height)
{
    Widget *widget;
    if constexpr (std::is_same_v<Widget, QPushButton>)
        widget = new QPushButton(parent);
    else
        widget = new Widget(parent, Qt::WindowFlags());
    widget->setObjectName(QString::fromLatin1(objectName));
    widget->setGeometry(QRect(x, y, width, height));
    return widget;
}

QPushButton *makeButton(QWidget *parent, const char *objectName, int x, int y)
{
    auto *button = makeWidget<QPushButton>(parent, objectName, x, y, 170, 30);
    button->setCursor(QCursor(Qt::PointingHandCursor));
    button->setStyleSheet(QString::fromUtf8(kButtonStyle));
    // Enter presses the focused button as Space does (outside a dialog Qt only takes Space).
    button->setAutoDefault(true);
    return button;
}

QLabel *makeTextLabel(QWidget *parent, const char *objectName, int x, int y, int width, int height,
                      const char *style, Qt::Alignment alignment)
{
    auto *label = makeWidget<QLabel>(parent, objectName, x, y, width, height);
    label->setStyleSheet(QString::fromUtf8(style));
    label->setAlignment(alignment);
    return label;
}

}  // namespace

void MainWindowUi::setup(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(600, 300);

    centralwidget = new QWidget(window, Qt::WindowFlags());
    centralwidget->setObjectName(QStringLiteral("centralwidget"));

    background = makeWidget<QWidget>(centralwidget, "background", 0, 0, 600, 300);
    background->setStyleSheet(QString::fromUtf8(kPanelStyle));

    dialog = makeWidget<QWidget>(background, "dialog", 0, 97, 601, 181);
    updateBtn = makeButton(dialog, "updateBtn", 110, 70);
    startBtn = makeButton(dialog, "startBtn", 320, 70);
    info = makeTextLabel(dialog, "info", 0, 10, 601, 31, kQuestionStyle, Qt::AlignCenter);
    exitBtn = makeButton(dialog, "exitBtn", 215, 70);
    info_error = makeTextLabel(dialog, "info_error", 0, 10, 601, 31, kErrorStyle, Qt::AlignCenter);

    label = makeWidget<QLabel>(background, "label", 10, 10, 284, 26);
    label->setPixmap(QPixmap(QStringLiteral(":/icons/icons/nembrals_logo.png")));
    label->setScaledContents(true);

    licence = makeTextLabel(background, "licence", 10, 280, 381, 12, kNoticeStyle,
                            Qt::AlignLeft | Qt::AlignVCenter);

    loadingIcon = makeWidget<QLabel>(background, "loadingIcon", 280, 130, 41, 41);
    loadingIcon->setCursor(QCursor(Qt::SizeBDiagCursor));
    loadingIcon->setPixmap(QPixmap(QStringLiteral(":/icons/icons/rotating_logo.gif")));
    loadingIcon->setScaledContents(true);

    progress = makeTextLabel(background, "progress", 0, 190, 601, 20, kStatusStyle, Qt::AlignCenter);

    window->setCentralWidget(centralwidget);
    retranslate(window);
    describeForAssistiveTechnology(window);
    QMetaObject::connectSlotsByName(window);
}

void MainWindowUi::retranslate(QMainWindow *window) const
{
    // Each text is spelled out at its translate call, with the window's context, so that lupdate
    // collects it.
    window->setWindowTitle(QCoreApplication::translate("MainWindow", "MainWindow", nullptr));
    updateBtn->setText(QCoreApplication::translate("MainWindow", "Update to New Version", nullptr));
    startBtn->setText(QCoreApplication::translate("MainWindow", "Skip Update", nullptr));
    info->setText(QCoreApplication::translate(
        "MainWindow", "A new version of this software is available. Do you wish to install it?", nullptr));
    exitBtn->setText(QCoreApplication::translate("MainWindow", "Exit", nullptr));
    // "meake" is what users have always seen; kept on purpose.
    info_error->setText(QCoreApplication::translate(
        "MainWindow", "Could not open Nembral. Please meake sure you have an internet connection.", nullptr));
    label->setText(QString());
    licence->setText(QCoreApplication::translate(
        "MainWindow", "Copyright (C) 2026 Kandu. Nembral is licensed software. All rights reserved.", nullptr));
    loadingIcon->setText(QString());
    progress->setText(QString());
}

void MainWindowUi::describeForAssistiveTechnology(QMainWindow *window) const
{
    const auto text = [](const char *source) { return QCoreApplication::translate("MainWindow", source, nullptr); };
    // The title stays what it is; a screen reader names the window by its accessible name.
    window->setAccessibleName(text("Nembral Launcher"));
    window->setAccessibleDescription(text("Checks for, installs and starts Nembral."));
    label->setAccessibleName(text("Nembral"));
    label->setAccessibleDescription(text("Nembral logo"));
    loadingIcon->setAccessibleName(text("Working"));
    loadingIcon->setAccessibleDescription(text("Shown while the launcher checks or installs Nembral."));
    progress->setAccessibleDescription(text("Launcher status"));
    info->setAccessibleName(info->text());
    info->setAccessibleDescription(text("Update question"));
    info_error->setAccessibleName(info_error->text());
    info_error->setAccessibleDescription(text("Nembral cannot be opened"));
    updateBtn->setAccessibleName(updateBtn->text());
    updateBtn->setAccessibleDescription(text("Installs the new version of Nembral, then starts it."));
    startBtn->setAccessibleName(startBtn->text());
    startBtn->setAccessibleDescription(text("Starts the installed version of Nembral without updating."));
    exitBtn->setAccessibleName(exitBtn->text());
    exitBtn->setAccessibleDescription(text("Closes the launcher."));
    licence->setAccessibleDescription(text("Legal notice"));
}

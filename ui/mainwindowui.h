#pragma once

class QLabel;
class QMainWindow;
class QPushButton;
class QWidget;

// The window's form: non-owning pointers to its twelve widgets, each field named after the
// widget's object name. The widgets belong to the window through Qt's parent-child ownership.
struct MainWindowUi {
    QWidget *centralwidget = nullptr;
    QWidget *background = nullptr;
    QWidget *dialog = nullptr;
    QPushButton *updateBtn = nullptr;
    QPushButton *startBtn = nullptr;
    QLabel *info = nullptr;
    QPushButton *exitBtn = nullptr;
    QLabel *info_error = nullptr;
    QLabel *label = nullptr;
    QLabel *licence = nullptr;
    QLabel *loadingIcon = nullptr;
    QLabel *progress = nullptr;

    // Builds the widget tree on `window`, sets every text and connects the window's
    // on_<button>_clicked slots by name.
    void setup(QMainWindow *window);
    void retranslate(QMainWindow *window) const;
    // What assistive technology reads: names and descriptions of the window and of the widgets
    // a user meets. The visible texts and the window title are retranslate's; the status line
    // keeps no name of its own, so that a screen reader reads (and is told of) its current text.
    void describeForAssistiveTechnology(QMainWindow *window) const;
};

#pragma once

#include "ui/mainwindow.h"
#include "ui/mainwindowui.h"

#include <QMovie>
#include <QThread>
#include <QTimer>

// The tests' window into MainWindow's private state (the class befriends this struct).
struct MainWindowTestAccess {
    static MainWindowUi &ui(MainWindow &w) { return *w.ui; }
    static QTimer *versionTimer(MainWindow &w) { return w.versionTimer; }
    static QTimer *trackerTimer(MainWindow &w) { return w.trackerTimer; }
    static QMovie *loadingMovie(MainWindow &w) { return w.loadingMovie; }
    static QThread *workerThread(MainWindow &w) { return w.workerThread; }
    static bool unzipStarted(MainWindow &w) { return w.unzipStarted; }
};

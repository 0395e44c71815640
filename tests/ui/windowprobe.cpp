// Linked into a copy of the launcher's own main() (app/main.cpp): once the event loop runs, it
// prints how main() left the window and ends the run, so tst_mainwindow checks main() itself.
#include "ui/mainwindow.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

static void reportWindowLook()
{
    QTimer::singleShot(0, [] {
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (qobject_cast<MainWindow *>(widget))
                std::printf("window flags 0x%x, translucent background %d, visible %d\n",
                            static_cast<unsigned>(widget->windowFlags().toInt()),
                            int(widget->testAttribute(Qt::WA_TranslucentBackground)), int(widget->isVisible()));
        (void)std::fflush(stdout);  // the test reads the line; a lost one fails it there
        QCoreApplication::exit(0);
    });
}
Q_COREAPP_STARTUP_FUNCTION(reportWindowLook)

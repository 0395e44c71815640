// Linked into a copy of the launcher's own main() (app/main.cpp): once the event loop runs,
// prints one line saying how main() left the window, then ends the run with exit code 0.
// tst_mainwindow reads that line, so it checks main() itself, not a copy of its calls.
#include "ui/mainwindow.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

namespace {

void reportWindowLook()
{
    QTimer::singleShot(0, [] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (const auto *window = qobject_cast<MainWindow *>(widget))
                std::printf("window flags 0x%x, translucent background %d, visible %d\n",
                            static_cast<unsigned>(window->windowFlags().toInt()),
                            int(window->testAttribute(Qt::WA_TranslucentBackground)), int(window->isVisible()));
        }
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(reportWindowLook)

#include "ui/mainwindow.h"

#include "platform/brokenpipe.h"
#include "platform/log.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // A console that has gone away (its pipe closed by the reader) must not end the launcher
    // halfway through an installation: writes to it just fail.
    ignoreBrokenPipes();
    // The record a user can send when something went wrong; the console output stays as it is.
    startSupportLog(kSupportLogPath);
    QApplication app(argc, argv);
    MainWindow window;
    window.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    window.setAttribute(Qt::WA_TranslucentBackground, true);
    window.show();
    return QApplication::exec();
}

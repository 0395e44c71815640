#include "ui/mainwindow.h"
#include "ui/mainwindowui.h"

#include "platform/commandrunner.h"
#include "platform/filehelpers.h"
#include "platform/log.h"
#include "platform/sleep.h"

#include <QCoreApplication>

namespace {
const char kExecutable[] = "nembral/nembral/Nembrals.exe";
const char kStartCommand[] = "cd ./nembral/nembral/ && Nembrals.exe";
} // namespace

void MainWindow::startApplication()
{
    ReadableFile executable = canOpenForReading(kExecutable);
    if (!executable) {
        logLine("Could not find Nembral");
        showErrorPage();
        return;
    }

    logLine("Start Nembral");
    sleepMilliseconds(1000);
    runCommand(kStartCommand);
    QCoreApplication::quit();
}

void MainWindow::on_startBtn_clicked()
{
    startApplication();
}

void MainWindow::on_exitBtn_clicked()
{
    QCoreApplication::quit();
}

#include "ui/mainwindow.h"
#include "ui/mainwindowui.h"

#include "platform/commandrunner.h"
#include "platform/filehelpers.h"
#include "platform/log.h"
#include "platform/packagenames.h"
#include "platform/sleep.h"
#include "workflow/previousinstall.h"

#include <QCoreApplication>

void MainWindow::startApplication()
{
    // An update that failed after the wipe (the package download gave up, the tool refused
    // the package) brings the previous installation back first.
    recoverSetAsideInstallation();
    ReadableFile executable = canOpenForReading(kInstalledExecutable);
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

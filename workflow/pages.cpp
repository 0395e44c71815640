#include "ui/mainwindow.h"
#include "ui/mainwindowui.h"

#include <QLabel>
#include <QPushButton>

// The three pages of the window. Each sets its widgets in a fixed order and leaves the ones it
// does not name alone.

void MainWindow::showWorkingPage()
{
    ui->dialog->setVisible(false);
    ui->progress->setVisible(true);
    ui->loadingIcon->setVisible(true);
}

void MainWindow::showQuestionPage()
{
    ui->dialog->setVisible(true);
    ui->info->setVisible(true);
    ui->info_error->setVisible(false);
    ui->exitBtn->setVisible(false);
    ui->startBtn->setVisible(true);
    ui->updateBtn->setVisible(true);
    ui->progress->setVisible(false);
    ui->loadingIcon->setVisible(false);
    // A keyboard or screen-reader user starts on the page's first button; Tab moves on to the
    // next one.
    ui->updateBtn->setFocus(Qt::OtherFocusReason);
}

void MainWindow::showErrorPage()
{
    ui->dialog->setVisible(true);
    ui->info->setVisible(false);
    ui->info_error->setVisible(true);
    ui->exitBtn->setVisible(true);
    ui->startBtn->setVisible(false);
    ui->updateBtn->setVisible(false);
    ui->progress->setVisible(false);
    ui->loadingIcon->setVisible(false);
    ui->exitBtn->setFocus(Qt::OtherFocusReason);
}

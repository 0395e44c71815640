#include "ui/mainwindow.h"

#include "platform/dpiawareness.h"
#include "platform/linkseams.h"
#include "ui/mainwindowui.h"
#include "ui/workerhandover.h"
#include "workflow/previousinstall.h"
#include "workflow/releasetrust.h"

#include <QIcon>
#include <QLabel>
#include <QMovie>
#include <QTimer>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent, Qt::WindowFlags()),
      ui(new MainWindowUi),
      packageUrl("https://" + vendorHost() + "/Software/Nembral/nembral.zip"),
      versionUrl("https://" + vendorHost() + "/Software/Nembral/version.txt"),
      versionFileName("version.txt"),
      unzipStarted(false)
{
    registerWindow(this);
    // A launcher that died during an update left the previous installation set aside.
    recoverSetAsideInstallation();

    setWindowIcon(QIcon(QStringLiteral(":/icons/icons/kandu-logo.png")));
    makeProcessSystemDpiAware();
    ui->setup(this);

    loadingMovie = new QMovie(QStringLiteral(":/icons/icons/rotating_logo.gif"), QByteArray());
    ui->loadingIcon->setMovie(loadingMovie);
    loadingMovie->start();

    showWorkingPage();
    ui->progress->setText(QStringLiteral("Checking Version ..."));

    if (std::vector<std::string> keys = releasePublicKeys(); !keys.empty())
        releaseTrust = std::make_shared<ReleaseTrust>(std::move(keys));
    workerThread = startDownloadWorker(this, versionUrl, "%s\\version.txt", versionFileCheck(releaseTrust, versionFileName));

    versionTimer = new QTimer(this);
    connect(versionTimer, SIGNAL(timeout()), this, SLOT(checkVersionLoop()));
    versionTimer->start(1000);
}

MainWindow::~MainWindow()
{
    // From here on a worker that gives up must not reach this window any more. The worker
    // thread and the movie have no parent and are left to the end of the process: a thread
    // object must not be destroyed while its thread may still run.
    unregisterWindow(this);
    delete ui;
}

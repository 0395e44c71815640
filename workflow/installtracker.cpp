#include "ui/mainwindow.h"
#include "ui/mainwindowui.h"
#include "ui/workerhandover.h"

#include "platform/commandrunner.h"
#include "platform/downloadattempt.h"
#include "platform/downloadstatus.h"
#include "platform/filehelpers.h"
#include "platform/log.h"
#include "platform/namedmutex.h"
#include "platform/packagenames.h"
#include "workflow/installwipe.h"
#include "workflow/previousinstall.h"
#include "workflow/releasetrust.h"

#include <QLabel>
#include <QThread>
#include <QTimer>

void MainWindow::downloadCompleteApplication()
{
    // With a release statement to check the package against, the installed tree stays until
    // the package has passed: a refused package then leaves the installation as it was.
    if (!releaseTrust && !wipeInstalledTree()) {
        showErrorPage();
        return;
    }
    logLine("downloadCompleteApplication");
    downloadStatus.downloadProgress.store(0);

    // Only one worker at a time. The version download has already succeeded when we get
    // here, so the old worker is returning: let it finish and join it, never cut it off while
    // it may hold the log lock or the allocator.
    if (workerThread) {
        workerThread->wait();
        delete workerThread;
    }
    workerThread = startDownloadWorker(this, packageUrl, kPackageArchivePattern, packageCheck(releaseTrust, kPackageArchive),
                                       releaseTrust ? releaseTrust->packageSize() : kNoBodyLimit);

    trackerTimer = new QTimer(this);
    connect(trackerTimer, SIGNAL(timeout()), this, SLOT(downloadTracker()));
    trackerTimer->start(1000);
}

// "Update to New Version": back to the working page, which also hides the button, then install.
void MainWindow::on_updateBtn_clicked()
{
    showWorkingPage();
    downloadCompleteApplication();
}

// Polls the installation once a second: download percentage, then one start of the
// extraction tool, then its named mutex and the installed version file, which the tool
// writes only once the whole tree is in place.
void MainWindow::downloadTracker()
{
    if (unzipStarted)
        ui->progress->setText(QStringLiteral("Copying files ..."));
    else
        ui->progress->setText(QStringLiteral("Download Progress: %1 %").arg(downloadStatus.downloadProgress.load()));

    if (!downloadStatus.packageDownloaded.load(std::memory_order_acquire))
        return;

    logLine("DOWNLOAD COMPLETE");
    if (!unzipStarted) {
        if (releaseTrust && !wipeInstalledTree()) {
            trackerTimer->stop();
            showErrorPage();
            return;
        }
        logLine("run command");
        // Only this extraction's result may end the wait.
        removeQuietly(kExtractResultFile);
        runCommand(kExtractCommand);
        unzipStarted = true;
    }

    if (namedMutexExists(kExtractMutex)) {
        logLine("Mutex does exist");
        return;
    }
    logLine("Mutex does not exist");

    ReadableFile marker = canOpenForReading(kInstalledVersionFile);
    if (!marker) {
        logLine("file not found");
        // The tool leaves its result before it lets the mutex go: with the mutex gone and no
        // tree, a result means it has ended without one (it refused the package, the disk is
        // full). The previous installation comes back and starts, or the error page says that
        // there is none.
        if (canOpenForReading(kExtractResultFile)) {
            logLine("extraction failed");
            trackerTimer->stop();
            removeQuietly(kExtractResultFile);
            removeQuietly(kPackageArchive);
            startApplication();
        }
        return;
    }

    logLine("UNZIP complete!");
    ui->progress->setText(QStringLiteral("Installation complete!"));
    deleteFile(kPackageArchive);
    removeQuietly(kExtractResultFile);
    // The new installation is in place: only now does the previous one go.
    discardSetAsideInstallation();
    startApplication();
    trackerTimer->stop();
}

#include "ui/mainwindow.h"

#include "platform/downloadstatus.h"
#include "platform/filehelpers.h"
#include "platform/log.h"
#include "platform/packagenames.h"
#include "workflow/installwipe.h"
#include "workflow/releasetrust.h"
#include "workflow/versionstring.h"

#include <QTimer>

// Decides once per run, on the first tick after the published version file has arrived:
// install (nothing installed), ask (versions differ) or start (same version, or the download
// cannot be read). Whatever the road, the downloaded file is removed and the timer stopped.
void MainWindow::checkVersionLoop()
{
    if (!downloadStatus.versionFileDownloaded.load(std::memory_order_acquire))
        return;

    {
        ReadableFile installed = canOpenForReading(kInstalledVersionFile);
        if (!installed) {
            logLine("version file does not exist");
            logLine("installation necessary");
            // A launcher that checks the package wipes only once it has passed (downloadTracker).
            if (releaseTrust || wipeInstalledTree()) {
                showWorkingPage();
                downloadCompleteApplication();
            } else {
                showErrorPage();
            }
        } else {
            logLine("version file does exist");
            ReadableFile downloaded = canOpenForReading(versionFileName);
            if (!downloaded) {
                logLine("downloaded version file does not exist");
                logLine("update not necessary");
                logLine("start application");
                startApplication();
            } else {
                const std::string newVersion = versionString(downloaded.readLine());
                const std::string currentVersion = versionString(installed.readLine());
                // Both lines come from outside (the server, the package): shown escaped, so
                // they cannot rewrite what the console shows; compared as they are.
                logLine("NewVersion: " + escapedForLog(newVersion) + " , CurrentVersion: "
                        + escapedForLog(currentVersion));
                if (newVersion == currentVersion) {
                    logLine("update not necessary");
                    logLine("start application");
                    startApplication();
                } else {
                    logLine("update necessary");
                    logLine("new version available");
                    showQuestionPage();
                }
            }
            // Both files close here, the downloaded one first.
        }
    }

    deleteFile(versionFileName);
    versionTimer->stop();
}

void MainWindow::deleteFile(std::string path)
{
    ::deleteFile(std::move(path));
}

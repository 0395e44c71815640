#pragma once

#include <QMainWindow>

#include <memory>
#include <string>

class QMovie;
class QThread;
class QTimer;
class ReleaseTrust;
struct MainWindowUi;

// The launcher's one window and the holder of a run's state. The constructor starts the run:
// it shows the working page, starts the version-file download on a worker thread and starts
// versionTimer, which drives checkVersionLoop until the launcher has decided what to do.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Wipes the installed tree, starts the package download on a new worker thread and
    // starts trackerTimer; when the tree cannot be wiped, shows the error page instead and
    // starts nothing.
    void downloadCompleteApplication();
    // Starts the installed application and quits, or shows the error page when it is missing.
    void startApplication();
    // Removes one file (or empty directory) and logs the outcome; uses no window state.
    void deleteFile(std::string path);

private Q_SLOTS:
    void checkVersionLoop();
    void downloadTracker();
    void on_updateBtn_clicked();
    void on_startBtn_clicked();
    void on_exitBtn_clicked();

private:
    // The window's pages: which of the form's widgets are visible.
    void showWorkingPage();
    void showQuestionPage();
    void showErrorPage();

    MainWindowUi *ui;
    QTimer *versionTimer = nullptr;
    QTimer *trackerTimer = nullptr;
    QMovie *loadingMovie = nullptr;
    QThread *workerThread = nullptr;
    std::string packageUrl;
    std::string versionUrl;
    std::string versionFileName;
    bool unzipStarted;
    // Set in a launcher built with the vendor's key (workflow/releasetrust.h): the version file
    // and the package are then checked, and the installed tree is wiped only once the package
    // has passed. Null otherwise, and the run is the key-less one.
    std::shared_ptr<ReleaseTrust> releaseTrust;

    friend struct MainWindowTestAccess;
};

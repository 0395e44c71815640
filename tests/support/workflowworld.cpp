#include "support/workflowworld.h"

#include "ui/mainwindowui.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QThread>

bool WorkflowWorld::start(quint16 port, const QByteArray &publishedVersion, const QByteArray &package)
{
    if (!root_.isValid())
        return false;
    startDir_ = QDir::currentPath();
    port_ = port;

    const QString runtime = root_.filePath(QStringLiteral("runtime"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());

    record_ = root_.filePath(QStringLiteral("commands.txt"));
    qputenv("COMSPEC", writeRecordingInterpreter(root_.path(), record_).toLocal8Bit());

    const QString served = root_.filePath(QStringLiteral("served"));
    if (!writeFile(served + QStringLiteral("/version.txt"), publishedVersion)
        || !writeFile(served + QStringLiteral("/nembral.zip"), package)
        || !vendor_.start(served, port, root_.filePath(QStringLiteral("state"))))
        return false;
    qputenv("SSL_CERT_FILE", vendor_.caFile().toLocal8Bit());
    return true;
}

void WorkflowWorld::stop()
{
    vendor_.stop();
}

bool WorkflowWorld::restartVendor(const QStringList &faults)
{
    return vendor_.start(root_.filePath(QStringLiteral("served")), port_, root_.filePath(QStringLiteral("state")), faults);
}

bool WorkflowWorld::enterFreshWorkDir()
{
    workDir_.emplace();
    QFile::remove(record_);
    return workDir_->isValid() && QDir::setCurrent(workDir_->path());
}

bool WorkflowWorld::leaveWorkDir()
{
    QDir::setCurrent(startDir_);
    if (!workDir_)
        return true;
    // A program the test started may still be ending there, and on Windows a process's current
    // folder cannot be removed: a moment's grace, no more.
    const QDeadlineTimer grace(5000);
    QDir dir(workDir_->path());
    while (!dir.removeRecursively() && !grace.hasExpired())
        QThread::msleep(50);
    return !dir.exists();
}

QStringList visiblePageWidgets(const MainWindowUi &ui)
{
    QStringList visible;
    for (QWidget *w : std::initializer_list<QWidget *>{ui.dialog, ui.info, ui.info_error, ui.exitBtn, ui.startBtn,
                                                       ui.updateBtn, ui.progress, ui.loadingIcon})
        if (w->isVisibleTo(ui.centralwidget))
            visible << w->objectName();
    return visible;
}

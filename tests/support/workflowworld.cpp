#include "support/workflowworld.h"

#include "ui/mainwindowui.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>

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
    return !workDir_ || workDir_->remove();
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

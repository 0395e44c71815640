#include "ui/workerhandover.h"

#include "platform/downloadfile.h"
#include "platform/linkseams.h"
#include "ui/mainwindow.h"

#include <QMetaObject>
#include <QThread>

#include <map>
#include <mutex>

namespace {

class LiveWindows {
public:
    void add(MainWindow *window)
    {
        std::lock_guard lock(mutex_);
        windows_[window] = nullptr;
    }

    void remove(MainWindow *window)
    {
        std::lock_guard lock(mutex_);
        windows_.erase(window);
    }

    void setWorker(MainWindow *window, const QThread *worker)
    {
        std::lock_guard lock(mutex_);
        const auto it = windows_.find(window);
        if (it != windows_.end())
            it->second = worker;
    }

    // Runs `action` while `window` cannot be removed, if it is alive and `worker` is its
    // current worker.
    template <typename Action>
    void invokeIfCurrentWorker(MainWindow *window, const QThread *worker, Action action)
    {
        std::lock_guard lock(mutex_);
        const auto it = windows_.find(window);
        if (it != windows_.end() && it->second == worker)
            action();
    }

private:
    std::mutex mutex_;
    std::map<MainWindow *, const QThread *> windows_;
};

LiveWindows &liveWindows()
{
    // Never destroyed: a worker may still ask after main has returned.
    static auto *registry = new LiveWindows;
    return *registry;
}

}  // namespace

void registerWindow(MainWindow *window)
{
    liveWindows().add(window);
}

void unregisterWindow(MainWindow *window)
{
    liveWindows().remove(window);
}

QThread *startDownloadWorker(MainWindow *window, std::string url, std::string pathPattern, DownloadCheck check,
                             std::uint64_t maxBodyBytes)
{
    // The thread owns its copies of the URL and the pattern: the worker never reads the
    // window's fields.
    QThread *worker = check ? QThread::create(downloadFileChecked, window, std::move(url), std::move(pathPattern), 0, std::move(check), maxBodyBytes)
                            : QThread::create(downloadFile, window, std::move(url), std::move(pathPattern), 0);
    liveWindows().setWorker(window, worker);
    worker->start();
    return worker;
}

void requestStartApplication(MainWindow *window)
{
    liveWindows().invokeIfCurrentWorker(window, QThread::currentThread(), [window] {
        QMetaObject::invokeMethod(
            window, [window] { window->startApplication(); }, Qt::QueuedConnection);
    });
}

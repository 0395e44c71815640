#include "workflow/livewindows.h"

void LiveWindows::add(MainWindow *window)
{
    std::lock_guard lock(mutex_);
    windows_[window] = nullptr;
}

void LiveWindows::remove(MainWindow *window)
{
    std::lock_guard lock(mutex_);
    windows_.erase(window);
}

void LiveWindows::setWorker(MainWindow *window, const QThread *worker)
{
    std::lock_guard lock(mutex_);
    const auto it = windows_.find(window);
    if (it != windows_.end())
        it->second = worker;
}

bool LiveWindows::invokeIfCurrentWorker(MainWindow *window, const QThread *worker, const std::function<void()> &action)
{
    std::lock_guard lock(mutex_);
    const auto it = windows_.find(window);
    if (it == windows_.end() || it->second != worker)
        return false;
    action();
    return true;
}

LiveWindows &liveWindows()
{
    // Never destroyed: a worker may still ask after main has returned.
    static auto *registry = new LiveWindows;
    return *registry;
}

#include "ui/livewindows.h"

void LiveWindows::add(MainWindow *window)
{
    std::lock_guard lock(mutex_);
    windows_.insert(window);
}

void LiveWindows::remove(MainWindow *window)
{
    std::lock_guard lock(mutex_);
    windows_.erase(window);
}

bool LiveWindows::invokeIfAlive(MainWindow *window, const std::function<void()> &action)
{
    std::lock_guard lock(mutex_);
    if (!windows_.contains(window))
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

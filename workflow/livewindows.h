#pragma once

#include <functional>
#include <map>
#include <mutex>

class MainWindow;
class QThread;

// The windows that exist right now, each with the worker thread it is currently running. A
// download worker holds a plain window pointer; before it asks a window for anything it checks
// here, under the same lock the window's destructor takes, that the window still exists and
// that it is that window's current worker. So a window that is gone is never reached, and
// neither is a newer window that happens to live at a dead one's address.
class LiveWindows {
public:
    void add(MainWindow *window);
    void remove(MainWindow *window);
    void setWorker(MainWindow *window, const QThread *worker);
    // Runs `action` if `window` is alive and `worker` is its current worker (the window cannot
    // be removed meanwhile). Returns whether it ran.
    bool invokeIfCurrentWorker(MainWindow *window, const QThread *worker, const std::function<void()> &action);

private:
    std::mutex mutex_;
    std::map<MainWindow *, const QThread *> windows_;
};

LiveWindows &liveWindows();

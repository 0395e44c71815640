#pragma once

#include <functional>
#include <mutex>
#include <set>

class MainWindow;

// The windows that exist right now. A download worker holds a plain window pointer; before
// it asks a window for anything it checks here, under the same lock the window's destructor
// takes, so a window that is gone is never reached.
class LiveWindows {
public:
    void add(MainWindow *window);
    void remove(MainWindow *window);
    // Runs `action` while `window` is known to be alive (and cannot be removed meanwhile).
    // Returns whether it ran.
    bool invokeIfAlive(MainWindow *window, const std::function<void()> &action);

private:
    std::mutex mutex_;
    std::set<MainWindow *> windows_;
};

LiveWindows &liveWindows();

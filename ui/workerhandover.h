#pragma once

#include <string>

#include "platform/downloadattempt.h"
#include "platform/downloadfile.h"

class MainWindow;
class QThread;

// The hand-over between a window and its download workers. A worker holds a plain window
// pointer; the only thing it ever asks of the window is requestStartApplication
// (platform/linkseams.h, defined next to these), and that goes through a registry of the windows
// that exist, each with the worker it is currently running. The registry is checked under the
// same lock that the window's destructor takes, so a window that is gone is never reached, and
// neither is a newer window that happens to live at a dead one's address.

// The constructor enters the window before anything can start a worker for it; the destructor
// removes it first thing, after which no worker reaches it.
void registerWindow(MainWindow *window);
void unregisterWindow(MainWindow *window);

// Creates a thread that runs downloadFile(window, url, pathPattern, 0), records it as the
// window's current worker and starts it at the inherited priority. The thread has no parent and
// is never deleted by the window; the caller keeps it in workerThread. With a `check` (and a
// body limit), each downloaded file must pass it (downloadFileChecked).
QThread *startDownloadWorker(MainWindow *window, std::string url, std::string pathPattern, DownloadCheck check = {},
                             std::uint64_t maxBodyBytes = kNoBodyLimit);

#pragma once

#include <string>

#include "platform/linkseams.h"

class MainWindow;

// Body of a download worker thread: fetches `url` into the path made from `pathPattern`
// ("%s" = working directory, "\" = separator), up to six attempts (0..5) with a 1000 ms pause
// after each failure. Success sets the matching DownloadStatus flag ("version" in the URL
// first, then "nembral"); after the last failure the window's startApplication is requested.
void downloadFile(MainWindow *window, std::string url, std::string pathPattern, int attempt);

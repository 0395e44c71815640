#pragma once

#include <QStringList>

#include <cstdio>

// Captures what the process writes to standard output and standard error at the descriptor
// level, so the launcher's real log path is what gets tested. Restores both streams in
// take() (or the destructor), before any test macro can print.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    struct Lines {
        QStringList out;
        QStringList err;
    };
    Lines take();

private:
    void restore();
    int savedOut_ = -1;
    int savedErr_ = -1;
    std::FILE *outFile_ = nullptr;
    std::FILE *errFile_ = nullptr;
};

// Drops the lines a download worker writes, which run concurrently with the GUI thread's.
QStringList withoutDownloadLines(const QStringList &lines);

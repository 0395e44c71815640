#pragma once

#include "faultrow.h"
#include "faultworld.h"

#include <QStringList>

// What happened when a row was acted out; compared with the row by tst_faults.cpp.
struct FaultOutcome {
    QString skipped;       // why the row could not run here
    QStringList problems;  // what went wrong on the way (setup, or a condition a step needs)

    // The (last) process run: launcher or extraction tool.
    bool exited = false;   // by itself, before the test ended it
    bool crashed = false;  // ended by a signal
    int exitCode = -1;
    bool quietAtEnd = false;  // still running and nothing logged for the quiet period
    QStringList out;          // its standard output lines
    QStringList err;          // its standard error lines
    int longestLine = 0;      // bytes, over every run of the row
    qint64 peakMemoryKb = 0;  // the largest of the row's launchers
    bool isLauncher = false;

    QStringList disk;  // entries below the working directory afterwards
    QByteArray installedVersion;
    QStringList started;   // the started log's lines
    QStringList requests;  // requests the server that had to stay unasked received
    QString outsideChanges;
    qint64 elapsedMs = 0;
};

// Prepares the row's world, acts the row out with lane `lane`'s launcher and port, and
// records the outcome. Runs on a thread of its own; everything it starts it also ends.
FaultOutcome runFaultRow(const FaultSuite &suite, const FaultRow &row, int lane);

// The lines the launcher's GUI thread writes: its standard output without the download
// worker's lines.
QStringList guiLines(const QStringList &out);

#pragma once

// Interruption: SIGINT, SIGTERM (and SIGHUP where it exists) on POSIX; Ctrl+C, Ctrl+Break and
// the closing of the console on Windows. The handler only records the request; the extraction
// checks it between blocks and unwinds normally, so the temporary directory is removed and the
// mutex released as on any other failure. A kill (SIGKILL, TerminateProcess) cannot be caught;
// what it leaves behind is never taken for an installation (see staging.h).
void installStopHandlers();
bool stopRequested();

// Records a stop request; safe in a signal handler and from any thread.
void requestStop();

// Sleeps up to `milliseconds`, returning early once a stop is requested.
void sleepUnlessStopped(unsigned milliseconds);

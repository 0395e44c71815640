#pragma once

// Interruption by SIGINT, SIGTERM (and SIGHUP where it exists): the handler only records the
// request; the extraction checks it between blocks and unwinds normally, so the temporary
// directory is removed and the mutex released as on any other failure. SIGKILL cannot be
// caught; what it leaves behind is never taken for an installation (see staging.h).
void installStopHandlers();
bool stopRequested();

// Sleeps up to `milliseconds`, returning early once a stop is requested.
void sleepUnlessStopped(unsigned milliseconds);

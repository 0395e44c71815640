#include "tools/unzip/stoprequest.h"

#include <windows.h>

namespace {

// Runs on a thread of its own that the system starts. For the closing of the console (or the
// end of the session) the process is ended once the handler returns, so it waits a little for
// the workers to notice and clean up.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    requestStop();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(2000);
    return TRUE;
}

}  // namespace

void installStopHandlers()
{
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

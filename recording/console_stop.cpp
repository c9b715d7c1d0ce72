#include "recording/console_stop.h"

#include <cstdio>

namespace inspect {
namespace console_stop {

namespace {

// Windows ends a process 5 s after the close event reached it; the run
// cleans up well within that, and the handler gives up waiting before.
constexpr DWORD CLOSE_WAIT_MS = 4500;

volatile LONG g_asked = 0;
volatile LONG g_closing = 0;
volatile LONG g_exitCode = 0;
HANDLE g_askedEvent = nullptr;
HANDLE g_cleanedUp = nullptr;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        InterlockedExchange(&g_asked, 1);
        SetEvent(g_askedEvent);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        InterlockedExchange(&g_closing, 1);
        InterlockedExchange(&g_asked, 1);
        SetEvent(g_askedEvent);
        // The process ends here, once the run has cleaned up, with the
        // run's own exit code: from this thread, which the system would
        // otherwise end the process after. A run already past Finished
        // ends the process itself meanwhile.
        if (WaitForSingleObject(g_cleanedUp, CLOSE_WAIT_MS) == WAIT_OBJECT_0)
            ExitProcess(static_cast<UINT>(g_exitCode));
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void Listen()
{
    g_askedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_cleanedUp = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Asked()
{
    return g_asked != 0;
}

HANDLE Event()
{
    return g_askedEvent;
}

int Finished(int code)
{
    if (!InterlockedCompareExchange(&g_closing, 0, 0))
        return code;
    std::fflush(stdout);
    std::fflush(stderr);
    InterlockedExchange(&g_exitCode, code);
    SetEvent(g_cleanedUp);
    Sleep(INFINITE); // the handler's thread ends the process
    return code;
}

} // namespace console_stop
} // namespace inspect

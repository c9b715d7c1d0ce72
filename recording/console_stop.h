// console_stop.h - Ctrl+C, Ctrl+Break and the console closing ask the run to
// stop. The run notices between blocks and between pictures, cleans up and
// ends itself with its own exit code; the system's own handling, which ends
// the process at once, would leave temporary files behind.
#pragma once

#include <windows.h>

namespace inspect {
namespace console_stop {

// Starts listening for the three; call before anything is written.
void Listen();
// Whether a stop was asked for; cheap enough to ask often.
bool Asked();
// Signalled once a stop is asked for, to wait on.
HANDLE Event();
// To be called once the run has cleaned up, with its exit code. When the
// console is closing (the system ends the process as soon as the handler
// returns) it ends the process with `code` here; otherwise returns `code`.
int Finished(int code);

} // namespace console_stop
} // namespace inspect

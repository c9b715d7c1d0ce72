// run_guard.h - what ends a one-shot run before its outputs take their
// names, besides a failure: a stop asked for from the console, or the
// recording changing under the run. The recording is looked at once a
// second while it is read, so that a long run on a recording that a new
// capture has replaced ends soon, and once more at the end.
#pragma once

#include <string>

#include "recording/capture_file.h"
#include "recording/tool_options.h"

namespace inspect {

class RunGuard {
public:
    RunGuard(const CaptureScan& scan, const std::string& path);

    // Asked between blocks and between pictures; true once the run must end.
    bool MustStop();
    // The same, looking at the recording now whenever it last did.
    bool MustStopNow();
    // EXIT_OK, EXIT_STOPPED or EXIT_CHANGED.
    int Reason() const { return m_reason; }

private:
    const CaptureScan& m_scan;
    const std::string m_path;
    double m_lastLook;
    int m_reason = EXIT_OK;
};

} // namespace inspect

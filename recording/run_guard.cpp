#include "recording/run_guard.h"

#include "recording/console_stop.h"
#include "tools/stopwatch.h"

namespace inspect {

namespace {

constexpr double LOOK_EVERY_MS = 1000;

} // namespace

RunGuard::RunGuard(const CaptureScan& scan, const std::string& path)
    : m_scan(scan), m_path(path), m_lastLook(stopwatch::NowMs())
{
}

bool RunGuard::MustStop()
{
    if (m_reason != EXIT_OK)
        return true;
    if (console_stop::Asked()) {
        m_reason = EXIT_STOPPED;
        return true;
    }
    const double now = stopwatch::NowMs();
    if (now - m_lastLook < LOOK_EVERY_MS)
        return false;
    m_lastLook = now;
    if (!m_scan.Unchanged(m_path.c_str()))
        m_reason = EXIT_CHANGED;
    return m_reason != EXIT_OK;
}

bool RunGuard::MustStopNow()
{
    m_lastLook = -LOOK_EVERY_MS;
    return MustStop();
}

} // namespace inspect

// stopwatch.h - wall-clock and CPU time of this process, in milliseconds,
// for the tests and benchmarks that measure timing.
#pragma once

#include <windows.h>

namespace stopwatch {

// Milliseconds from a monotonic clock.
inline double NowMs()
{
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// CPU time (kernel and user) used by this process so far.
inline double ProcessCpuMs()
{
    FILETIME creation, exit, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user);
    auto ms = [](const FILETIME& t) {
        return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

} // namespace stopwatch

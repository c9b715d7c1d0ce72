// bench_support.h - what the benchmark programs share: the simulated sensor
// installed and started, a monotonic clock, memory figures.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

#include "simsensor/sim_client.h"
#include "tools/stopwatch.h"

namespace bench {

// Installs and starts the simulated sensor (driver next to the program).
inline bool StartSensor()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string driver(path);
    driver = driver.substr(0, driver.find_last_of("\\/") + 1) + SIM_DRIVER_FILE;
    if (!sim::Install(driver.c_str()) || !sim::Start()) {
        std::fprintf(stderr, "the simulated sensor did not start\n");
        return false;
    }
    return true;
}

using stopwatch::NowMs;

} // namespace bench

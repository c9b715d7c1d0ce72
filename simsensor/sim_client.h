// sim_client.h - user-mode control of the simulated image sensor.
//
// Used by the control tool (simctl), the run script's console check, the
// tests and the benchmarks. Installing puts the driver into the current
// Wine prefix as a kernel service and registers the device interfaces with
// SetupDi; starting loads it and waits until its control device answers.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "sim_ioctl.h"

namespace sim {

// Idempotent: copies driverPath (the built .sys) into the system's driver
// folder if it differs, creates the kernel service if missing, registers
// device interface 0 as present and interface 1 as absent.
BOOL Install(const char* driverPath);

// Starts the service if it is not running and waits, up to timeoutMs, until
// the control device opens. Idempotent.
BOOL Start(DWORD timeoutMs = 10000);

// Makes device interface `device` present (Linked = 1) or absent for
// SetupDi's DIGCF_PRESENT enumeration. Registers the interface if needed.
BOOL SetInterfacePresent(DWORD device, BOOL present);

struct LogRecord {
    DWORD type = 0;              // SIM_LOG_WRITE, SIM_LOG_RESET, SIM_LOG_OPEN, SIM_LOG_CLOSE
    DWORD time = 0;              // arrival in 100 ns units (differences only)
    DWORD length = 0;            // bytes written, for SIM_LOG_WRITE
    std::vector<BYTE> bytes;     // at most SIM_LOG_MAX_BYTES of them
};

// One open handle on the control device. Every call names the sensor device
// (0 or 1) it is about.
class Control {
public:
    Control();
    ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    BOOL IsOpen() const { return m_hControl != INVALID_HANDLE_VALUE; }

    BOOL ResetState(DWORD device);
    BOOL SetRate(DWORD device, DWORD picturesPerSecond);
    // Replaces the fault script; flakyEvery is the N of SIM_FAULT_FLAKY_READS.
    BOOL SetFaults(DWORD device, DWORD flags, DWORD badAckEntry = 0, DWORD stopAfterBytes = 0,
                   DWORD flakyEvery = 0);
    // The sensor's output buffer, SIM_FIFO_MIN_BYTES to SIM_FIFO_BYTES.
    BOOL SetFifoSize(DWORD device, DWORD bytes);
    // The pacer leaves the sensor alone for `ms`, then makes up the time.
    BOOL StallPacer(DWORD device, DWORD ms);
    // Unplug or replug: the driver side and SetupDi's view together.
    BOOL SetPlugged(DWORD device, BOOL plugged);
    BOOL GetStatus(DWORD device, SIM_STATUS& status);
    BOOL GetLog(DWORD device, std::vector<LogRecord>& records);
    BOOL ClearLog(DWORD device);
    BOOL GetPicture(DWORD device, std::vector<BYTE>& picture);
    // Streams `recording` after the start command instead of the pattern
    // (again from its start if `loop`); an empty one goes back to the pattern.
    BOOL SetReplay(DWORD device, const std::vector<BYTE>& recording, BOOL loop);

private:
    BOOL Call(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned);

    HANDLE m_hControl;
};

// Convenience for tests: the write records of a log as hex strings
// ("10 00 0A"), resets as "RESET", opens and closes as "OPEN" and "CLOSE".
std::vector<std::string> DescribeLog(const std::vector<LogRecord>& records);

} // namespace sim

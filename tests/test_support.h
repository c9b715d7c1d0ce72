// test_support.h - what every test program shares: the simulated sensor,
// installed and started before the first test, and a fixture that puts it
// back to its power-on state before each test.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simsensor/sim_client.h"
#include "tools/stopwatch.h"

namespace testing_support {

// Folder of the running test program, with a trailing backslash.
std::string ProgramFolder();

using stopwatch::NowMs;

// Reads a whole file; false if it cannot be opened.
bool ReadWholeFile(const char* path, std::vector<BYTE>& bytes);

// FNV-1a 32, as the simulated sensor hashes what it delivers.
DWORD Fnv1a(const BYTE* data, size_t size, DWORD hash = SIM_FNV_OFFSET);

} // namespace testing_support

// Base of tests that talk to the simulated sensor: device 0 present and in
// its power-on state, device 1 absent, logs cleared.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    SIM_STATUS Status(DWORD device = 0);
    std::vector<std::string> Log(DWORD device = 0);

    sim::Control m_sim;
};

// test_support.h - what every test program shares: the simulated sensor,
// installed and started before the first test, a fixture that puts it
// back to its power-on state before each test, and test windows whose
// painted pixels can be read back.
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

// FNV-1a 64, as the simulated sensor hashes what it delivers.
ULONGLONG Fnv1a(const BYTE* data, size_t size, ULONGLONG hash = SIM_FNV_OFFSET);

// Runs `program`, next to the test program, with `arguments` and waits for
// it; its standard output and error land in `output`. Returns the exit
// code, or -1 if it did not run.
int RunProgram(const std::string& program, const std::string& arguments, std::string* output = nullptr);

// A visible popup window with a client area of width x height pixels
// filled with one colour, destroyed with the object.
class CTestWindow {
public:
    CTestWindow(int width, int height, COLORREF background = RGB(0, 0, 0));
    ~CTestWindow() { DestroyWindow(m_hwnd); }
    CTestWindow(const CTestWindow&) = delete;
    CTestWindow& operator=(const CTestWindow&) = delete;

    HWND Get() const { return m_hwnd; }

private:
    HWND m_hwnd;
};

// The client area's pixels as 0x00RRGGBB, row-major, top row first.
class CClientPixels {
public:
    // Through the window's own drawing context (this process's windows).
    explicit CClientPixels(HWND hwnd) : CClientPixels(hwnd, false) {}
    // Off the screen, where a display server holds every process's pixels.
    static CClientPixels OnScreen(HWND hwnd) { return CClientPixels(hwnd, true); }

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    // As COLORREF (0x00BBGGRR), to compare with RGB().
    COLORREF At(int x, int y) const;

private:
    CClientPixels(HWND hwnd, bool bOnScreen);

    int m_width = 0;
    int m_height = 0;
    std::vector<DWORD> m_pixels;
};

// The 128 x 96 grey picture that `pixels` show four times magnified from
// their top left, one byte per 4 x 4 block (a block the edge cuts off counts
// with the pixels it has). `strays` counts the pixels that are not exactly
// their block's grey: a picture drawn whole has none.
std::vector<BYTE> MagnifiedPicture(const CClientPixels& pixels, int& strays);

// Every byte the sensor made or replied is delivered, overflowed, lost,
// dropped or still buffered.
::testing::AssertionResult CountersAddUp(const SIM_STATUS& status);

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

namespace testing_support {

// What the device sends while a capture starts: an acknowledgement per
// register write and the sync echo, which the program consumes.
std::vector<BYTE> StartSequenceReplies();

// The sensor delivered `before`, then exactly `file`, then `after`.
::testing::AssertionResult DeliveredAround(const std::vector<BYTE>& file, const SIM_STATUS& status,
                                           const std::vector<BYTE>& before, const std::vector<BYTE>& after = {});

} // namespace testing_support

// The real program, started as a process of its own against the simulated
// sensor and operated through window messages from this one: the ways out
// that only a process of its own can take, its manifest, and its picture on
// a real screen; each capture checked against what the sensor delivered.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "simsensor/sim_pattern.h"
#include "tests/test_support.h"
#include "tools/window_driver.h"

namespace wd = window_driver;
using testing_support::ReadWholeFile;

namespace {

// The capture button's id as the template numbers it, written out so that
// a renumbered control fails here.
constexpr int ID_SHOW_IMAGE = 1002;

const char CAPTURE_FILE[] = "C:\\1.txt";
constexpr DWORD START_WAIT_MS = 15000; // a cold Wine process starts slowly
constexpr DWORD EXIT_WAIT_MS = 5000;
constexpr DWORD CAPTURE_MS = 1000;

class ProgramTest : public SimTest {
protected:
    void TearDown() override
    {
        ReleaseProcess();
        SimTest::TearDown();
    }

    void ReleaseProcess()
    {
        if (!m_process.hProcess)
            return;
        if (WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(m_process.hProcess, 1);
        CloseHandle(m_process.hProcess);
        CloseHandle(m_process.hThread);
        m_process = {};
    }

    // Starts the program and waits for its main window.
    HWND Launch()
    {
        ReleaseProcess();
        std::string path = testing_support::ProgramFolder() + "Orlavent.exe";
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        if (!CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &m_process))
            return nullptr;
        return wd::WaitForDialog("Orlavent", START_WAIT_MS, m_process.dwProcessId);
    }

    void Connect(HWND main)
    {
        wd::Click(main, IDOK);
        EXPECT_EQ("Connect Succeed", wd::AcknowledgeMessageBox("Connect", wd::DEFAULT_WAIT_MS, m_process.dwProcessId).text);
    }

    // Connects, shows the picture (the sensor's log starts afresh with the
    // start sequence), runs `whileShowing`, stops, runs `afterStop` and
    // exits (without `afterStop`, whileShowing ends the program); returns
    // the capture file once the program has ended cleanly.
    std::vector<BYTE> Capture(
        HWND main, const std::function<void()>& whileShowing = [] { Sleep(CAPTURE_MS); },
        const std::function<void()>& afterStop = [] {})
    {
        std::vector<BYTE> file;
        Connect(main);
        EXPECT_TRUE(m_sim.ClearLog(0));
        wd::Click(main, ID_SHOW_IMAGE);
        EXPECT_TRUE(wd::WaitForControlText(main, ID_SHOW_IMAGE, "Stop"));
        whileShowing();
        if (afterStop) { // otherwise whileShowing ended the program
            wd::Click(main, ID_SHOW_IMAGE);
            EXPECT_TRUE(wd::WaitForControlText(main, ID_SHOW_IMAGE, "Show Image"));
            afterStop();
            wd::Click(main, IDCANCEL);
        }
        DWORD exitCode = 1;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_process.hProcess, EXIT_WAIT_MS)) << "the program did not end";
        GetExitCodeProcess(m_process.hProcess, &exitCode);
        EXPECT_EQ(0u, exitCode);
        EXPECT_TRUE(ReadWholeFile(CAPTURE_FILE, file));
        return file;
    }

    // Delivered since the start: the start sequence's replies, which the
    // program consumes, then the stream, which it records, none of it lost
    // in the sensor.
    void ExpectFileHoldsTheStreamDelivered(const std::vector<BYTE>& file)
    {
        const SIM_STATUS status = Status();
        EXPECT_GT(file.size(), 3u * 12288);
        EXPECT_EQ(0u, status.overflowBytes) << "bytes dropped at the sensor";
        EXPECT_TRUE(testing_support::DeliveredAround(file, status, testing_support::StartSequenceReplies()));
    }

    PROCESS_INFORMATION m_process = {};
};

// A WM_QUIT reaching the program's thread, posted to the window or to the
// thread itself, from anywhere, ends the program as Exit does: the capture
// is stopped in order and the program ends with 0.
TEST_F(ProgramTest, AQuitMessageDuringACaptureEndsTheProgramInOrder)
{
    for (const bool toThread : {false, true}) {
        SCOPED_TRACE(toThread ? "posted to the thread" : "posted to the window");
        const HWND main = Launch();
        ASSERT_NE(nullptr, main) << "the program's window did not show";
        const std::vector<BYTE> file = Capture(main, [&] {
            Sleep(CAPTURE_MS);
            if (toThread)
                PostThreadMessageA(GetWindowThreadProcessId(main, nullptr), WM_QUIT, 7, 0);
            else
                PostMessageA(main, WM_QUIT, 7, 0);
        }, nullptr);
        ExpectFileHoldsTheStreamDelivered(file);
        const std::vector<std::string> log = Log();
        EXPECT_EQ("11 00 01", log.end()[-2]) << "the stream was not stopped";
    }
}

// Both programs carry a manifest that runs them with the operator's own
// rights, so Windows never redirects their files into a per-user store.
TEST(ProductManifest, BothProgramsRunAsInvoker)
{
    for (const char* program : {"Orlavent.exe", "orlavent-inspect.exe"}) {
        SCOPED_TRACE(program);
        const std::string path = testing_support::ProgramFolder() + program;
        HMODULE image = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, image);
        HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
        ASSERT_NE(nullptr, found) << "no application manifest";
        const char* text = static_cast<const char*>(LockResource(LoadResource(image, found)));
        const std::string manifest(text, SizeofResource(image, found));
        FreeLibrary(image);
        EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));
    }
}

// The picture control's picture, read off the screen.
std::vector<BYTE> PictureOnScreen(HWND main, int& strays)
{
    int stray = 0;
    const std::vector<BYTE> picture =
        testing_support::MagnifiedPicture(testing_support::CClientPixels::OnScreen(GetDlgItem(main, 1000)), stray);
    strays += stray;
    return picture;
}

// Another process's window over the picture, then gone, as when a window is
// dragged across it: the program must paint the uncovered area again.
void CoverAndUncover(HWND main)
{
    RECT rc;
    GetWindowRect(GetDlgItem(main, 1000), &rc);
    const HWND cover = CreateWindowExA(WS_EX_TOPMOST, "STATIC", "", WS_POPUP | WS_VISIBLE | SS_BLACKRECT, rc.left,
                                       rc.top, rc.right - rc.left, rc.bottom - rc.top, nullptr, nullptr, nullptr,
                                       nullptr);
    UpdateWindow(cover);
    Sleep(300);
    DestroyWindow(cover);
}

// The program's own picture control, read off the screen again and again
// while a moving sensor streams: each time one whole picture of the stream,
// exactly, never the top of one picture over the rest of another. After
// Stop the last one stays when uncovered, minimised and restored, and
// moved. Needs a display server (the X11 driver), where the screen holds
// every process's pixels; the test run starts one for this test alone.
TEST_F(ProgramTest, TheLivePictureOnScreenShowsWholePicturesOfTheSensor)
{
    if (!std::getenv("ORLAVENT_SCREEN"))
        GTEST_SKIP() << "needs a display; run as the live_picture test";
    const HWND main = Launch();
    ASSERT_NE(nullptr, main) << "the program's window did not show";
    std::vector<std::vector<BYTE>> seen;
    int strays = 0;
    // The program paints on its own time: each check waits for it.
    auto settles = [&](const char* after) {
        std::vector<BYTE> shown;
        for (int i = 0; i < 50 && shown != seen.back(); ++i, Sleep(100))
            shown = PictureOnScreen(main, strays);
        EXPECT_EQ(seen.back(), shown) << after;
    };
    Capture(
        main,
        [&] {
            Sleep(CAPTURE_MS / 2);
            for (int i = 0; i < 10; ++i, Sleep(97))
                seen.push_back(PictureOnScreen(main, strays));
        },
        [&] {
            seen.push_back(PictureOnScreen(main, strays));
            CoverAndUncover(main);
            settles("uncovered");
            ShowWindow(main, SW_MINIMIZE);
            ShowWindow(main, SW_RESTORE);
            settles("minimised and restored");
            RECT rc;
            GetWindowRect(main, &rc);
            SetWindowPos(main, nullptr, rc.left + 40, rc.top + 30, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
            settles("moved");
        });
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(0, strays) << "pixels that are not their block's grey";
    // The default settings: the pattern at unity gain.
    std::vector<std::vector<BYTE>> stream(Status().picturesStarted + 1, std::vector<BYTE>(128 * 96));
    for (size_t frame = 0; frame < stream.size(); ++frame)
        SimPatternPicture(static_cast<unsigned long>(frame), 10, 10, stream[frame].data());
    for (size_t k = 0; k < seen.size(); ++k)
        EXPECT_NE(stream.end(), std::find(stream.begin(), stream.end(), seen[k]))
            << "screen read " << k + 1 << " is no picture of the stream";
}

} // namespace

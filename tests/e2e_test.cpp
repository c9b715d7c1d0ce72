// The real program, started as a process of its own against the simulated
// sensor and operated through window messages from this one: a whole
// capture from connect to exit, checked against what the sensor delivered.
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "simsensor/sim_pattern.h"
#include "tests/test_support.h"
#include "tools/window_driver.h"

namespace wd = window_driver;
using testing_support::Fnv1a;
using testing_support::ReadWholeFile;

namespace {

// The capture button's id as the template numbers it, written out so that
// a renumbered control fails here.
constexpr int ID_SHOW_IMAGE = 1002;

const char CAPTURE_FILE[] = "C:\\1.txt";
constexpr DWORD START_WAIT_MS = 15000; // a cold Wine process starts slowly
constexpr DWORD EXIT_WAIT_MS = 5000;
constexpr DWORD CAPTURE_MS = 1000;
// Pictures per second: the sensor's default.
constexpr DWORD CAPTURE_RATE = SIM_RATE_DEFAULT;

class ProgramTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        ASSERT_TRUE(m_sim.SetRate(0, CAPTURE_RATE));
    }

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

    void Connect(HWND main, const char* expected = "Connect Succeed", DWORD timeoutMs = wd::DEFAULT_WAIT_MS)
    {
        wd::Click(main, IDOK);
        EXPECT_EQ(expected, wd::AcknowledgeMessageBox("Connect", timeoutMs, m_process.dwProcessId).text);
    }

    // Connects, shows the picture (the sensor's log starts afresh with the
    // start sequence), runs `whileShowing`, stops, runs `afterStop` and
    // exits; returns the capture file once the program has ended cleanly.
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
        wd::Click(main, ID_SHOW_IMAGE);
        EXPECT_TRUE(wd::WaitForControlText(main, ID_SHOW_IMAGE, "Show Image"));
        afterStop();
        wd::Click(main, IDCANCEL);
        DWORD exitCode = 1;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_process.hProcess, EXIT_WAIT_MS)) << "the program did not end";
        GetExitCodeProcess(m_process.hProcess, &exitCode);
        EXPECT_EQ(0u, exitCode);
        EXPECT_TRUE(ReadWholeFile(CAPTURE_FILE, file));
        return file;
    }

    // A capture at the sensor's default rate, recorded whole.
    std::vector<BYTE> Record()
    {
        const HWND main = Launch();
        EXPECT_NE(nullptr, main) << "the program's window did not show";
        const std::vector<BYTE> file = main ? Capture(main) : std::vector<BYTE>();
        ExpectFileHoldsTheStreamDelivered(file);
        return file;
    }

    // Delivered since the start: the start sequence's replies, which the
    // program consumes, then the stream, which it records, none of it lost
    // in the sensor.
    void ExpectFileHoldsTheStreamDelivered(const std::vector<BYTE>& file)
    {
        std::vector<BYTE> replies(32, 0x10); // an acknowledgement per register write
        replies.push_back(0x3F);             // the sync echo
        const SIM_STATUS status = Status();
        EXPECT_GT(file.size(), 3u * 12288);
        EXPECT_EQ(0u, status.overflowBytes) << "bytes dropped at the sensor";
        EXPECT_EQ(status.bytesDelivered, replies.size() + file.size());
        EXPECT_EQ(status.deliveredHash, Fnv1a(file.data(), file.size(), Fnv1a(replies.data(), replies.size())));
    }

    // Connects and starts showing; the sensor's log starts afresh.
    void StartShowing(HWND main)
    {
        Connect(main);
        EXPECT_TRUE(m_sim.ClearLog(0));
        wd::Click(main, ID_SHOW_IMAGE);
        EXPECT_TRUE(wd::WaitForControlText(main, ID_SHOW_IMAGE, "Stop"));
    }

    // The last command the sensor received, whatever opened or closed after.
    std::string LastCommand()
    {
        const std::vector<std::string> log = Log();
        for (auto it = log.rbegin(); it != log.rend(); ++it) {
            if (*it != "OPEN" && *it != "CLOSE" && *it != "RESET")
                return *it;
        }
        return std::string();
    }

    DWORD WaitForExit()
    {
        DWORD exitCode = STILL_ACTIVE;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_process.hProcess, EXIT_WAIT_MS)) << "the program did not end";
        GetExitCodeProcess(m_process.hProcess, &exitCode);
        return exitCode;
    }

    std::vector<BYTE> CaptureFileNow()
    {
        std::vector<BYTE> file;
        EXPECT_TRUE(ReadWholeFile(CAPTURE_FILE, file));
        return file;
    }

    PROCESS_INFORMATION m_process = {};
};

// Every full marker is followed by exactly the still picture, and the bytes
// before the first marker and after the last are parts of that same
// sequence: the stream may begin and end anywhere in it.
::testing::AssertionResult IsStillPictureStream(const std::vector<BYTE>& stream, const std::vector<BYTE>& picture)
{
    const BYTE marker[] = {0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60};
    std::vector<BYTE> period(marker, marker + 6);
    period.reserve(6 + picture.size());
    period.insert(period.end(), picture.begin(), picture.end());
    const size_t first = std::search(stream.begin(), stream.end(), period.begin(), period.begin() + 6) - stream.begin();
    if (first >= period.size())
        return ::testing::AssertionFailure() << "no marker within the first picture's length";
    const size_t phase = (period.size() - first) % period.size();
    for (size_t i = 0; i < stream.size(); ++i) {
        if (stream[i] != period[(phase + i) % period.size()])
            return ::testing::AssertionFailure() << "byte " << i << " breaks the picture sequence";
    }
    return ::testing::AssertionSuccess();
}

// A whole capture against a still sensor streaming flat out, while another
// process posts chunk announcements with parameters that are no chunk of
// the program's (any process can post any message to the window): the
// program neither crashes nor records anything but the stream.
TEST_F(ProgramTest, ACaptureRecordsExactlyWhatTheSensorDeliveredWhateverIsPostedToIt)
{
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_STILL));
    const HWND main = Launch();
    ASSERT_NE(nullptr, main) << "the program's window did not show";
    const LPARAM junk[] = {0, 1, 0x1000, static_cast<LPARAM>(0xFFFF0000u), reinterpret_cast<LPARAM>(main)};
    auto postJunkAndPing = [&] {
        for (LPARAM lParam : junk) {
            PostMessageA(main, 1102, 0, lParam);
            PostMessageA(main, 1102, static_cast<WPARAM>(lParam), lParam);
        }
        DWORD_PTR result = 0;
        EXPECT_TRUE(SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_NORMAL, wd::DEFAULT_WAIT_MS, &result));
    };
    postJunkAndPing(); // idle
    ASSERT_TRUE(m_sim.SetRate(0, SIM_RATE_FLAT_OUT));
    const std::vector<BYTE> file = Capture(main, [&] {
        for (int i = 0; i < 50; ++i)
            postJunkAndPing();
    });
    ASSERT_FALSE(HasFailure());

    // One start sequence went out, unretried, and the stream was stopped.
    const std::vector<std::string> log = Log();
    EXPECT_EQ(1, std::count(log.begin(), log.end(), "A1"));
    EXPECT_EQ(0, std::count(log.begin(), log.end(), "RESET"));
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ("11 00 01", log[log.size() - 2]);
    EXPECT_EQ("CLOSE", log.back());

    ExpectFileHoldsTheStreamDelivered(file);
    std::vector<BYTE> picture;
    ASSERT_TRUE(m_sim.GetPicture(0, picture));
    EXPECT_TRUE(IsStillPictureStream(file, picture));
}

// An address inside the writable data of the process's own image: what a
// hostile process finds in the program's file and passes as a pointer.
LPARAM WritableImageAddress(HANDLE process, DWORD processId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    MODULEENTRY32 module = {};
    module.dwSize = sizeof(module);
    const BOOL found = snapshot != INVALID_HANDLE_VALUE && Module32First(snapshot, &module);
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    BYTE headers[4096];
    SIZE_T got = 0;
    if (!found || !ReadProcessMemory(process, module.modBaseAddr, headers, sizeof(headers), &got))
        return 0;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(headers);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(headers + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if ((section->Characteristics & IMAGE_SCN_MEM_WRITE) && section->Misc.VirtualSize >= 64)
            return reinterpret_cast<LPARAM>(module.modBaseAddr + section->VirtualAddress + 16);
    }
    return 0;
}

// Another process sends and posts the messages that create and destroy a
// dialog, during a capture: the window stays what it was. Stop and Exit
// still work, the sensor is stopped and the capture file holds the stream.
TEST_F(ProgramTest, LifecycleMessagesFromAnotherProcessChangeNothing)
{
    const HWND main = Launch();
    ASSERT_NE(nullptr, main) << "the program's window did not show";
    const LPARAM inImage = WritableImageAddress(m_process.hProcess, m_process.dwProcessId);
    ASSERT_NE(0, inImage);
    auto ping = [&] {
        DWORD_PTR result = 0;
        return SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_NORMAL, wd::DEFAULT_WAIT_MS, &result) != 0;
    };
    const std::vector<BYTE> file = Capture(main, [&] {
        for (LPARAM lParam : {LPARAM(0), inImage}) {
            PostMessageA(main, WM_INITDIALOG, 0, lParam);
            DWORD_PTR result = 0;
            SendMessageTimeoutA(main, WM_INITDIALOG, 0, lParam, SMTO_NORMAL, wd::DEFAULT_WAIT_MS, &result);
        }
        for (UINT message : {WM_DESTROY, WM_NCDESTROY}) {
            DWORD_PTR result = 0;
            SendMessageTimeoutA(main, message, 0, 0, SMTO_NORMAL, wd::DEFAULT_WAIT_MS, &result);
            PostMessageA(main, message, 0, 0);
        }
        EXPECT_TRUE(ping()) << "the window no longer answers";
        EXPECT_EQ("Stop", wd::ControlText(main, ID_SHOW_IMAGE));
        Sleep(CAPTURE_MS);
    });
    ASSERT_FALSE(HasFailure());
    const std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ("11 00 01", log[log.size() - 2]) << "the stream was not stopped";
    ExpectFileHoldsTheStreamDelivered(file);
}

// The system ends the session during a capture: by the time the window has
// answered WM_ENDSESSION, the capture is over in order (every byte read is
// in the file, the file is closed and the sensor stopped), so the process
// can be ended at once, as Windows does, and nothing is lost.
TEST_F(ProgramTest, TheSessionEndingDuringACaptureLosesNothing)
{
    const HWND main = Launch();
    ASSERT_NE(nullptr, main) << "the program's window did not show";
    StartShowing(main);
    Sleep(CAPTURE_MS);
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutA(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, EXIT_WAIT_MS,
                                    &answer));
    EXPECT_EQ(TRUE, static_cast<BOOL>(answer)) << "the window refused to let the session end";
    ASSERT_TRUE(SendMessageTimeoutA(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, EXIT_WAIT_MS,
                                    &answer));
    TerminateProcess(m_process.hProcess, 0);
    WaitForSingleObject(m_process.hProcess, EXIT_WAIT_MS);

    EXPECT_EQ("11 00 01", LastCommand()) << "the stream was not stopped";
    EXPECT_FALSE(Status().streaming);
    ExpectFileHoldsTheStreamDelivered(CaptureFileNow());
}

// A WM_QUIT reaching the program's thread, posted to the window or to the
// thread itself, from anywhere, ends the program as Exit does: the capture
// is stopped in order and the program ends with 0.
TEST_F(ProgramTest, AQuitMessageDuringACaptureEndsTheProgramInOrder)
{
    for (const bool toThread : {false, true}) {
        SCOPED_TRACE(toThread ? "posted to the thread" : "posted to the window");
        const HWND main = Launch();
        ASSERT_NE(nullptr, main) << "the program's window did not show";
        StartShowing(main);
        Sleep(CAPTURE_MS);
        if (toThread)
            PostThreadMessageA(GetWindowThreadProcessId(main, nullptr), WM_QUIT, 7, 0);
        else
            PostMessageA(main, WM_QUIT, 7, 0);
        EXPECT_EQ(0u, WaitForExit());
        EXPECT_EQ("11 00 01", LastCommand()) << "the stream was not stopped";
        ExpectFileHoldsTheStreamDelivered(CaptureFileNow());
    }
}

// A capture file that cannot be created (here a folder of that name) does
// not stop the picture, and the operator is told why nothing is recorded.
TEST_F(ProgramTest, TheOperatorIsToldWhenTheCaptureFileCannotBeCreated)
{
    DeleteFileA(CAPTURE_FILE);
    ASSERT_TRUE(CreateDirectoryA(CAPTURE_FILE, nullptr));
    const HWND main = Launch();
    ASSERT_NE(nullptr, main) << "the program's window did not show";
    StartShowing(main);
    const wd::MessageBoxView box = wd::AcknowledgeMessageBox("Record", wd::DEFAULT_WAIT_MS, m_process.dwProcessId);
    EXPECT_NE(std::string::npos, box.text.find("C:\\1.txt cannot be created")) << box.text;
    EXPECT_EQ(main, box.owner);
    EXPECT_EQ("Stop", wd::ControlText(main, ID_SHOW_IMAGE));
    const DWORD delivered = Status().bytesDelivered;
    Sleep(300);
    EXPECT_GT(Status().bytesDelivered, delivered) << "the capture stopped";
    wd::Click(main, IDCANCEL);
    EXPECT_EQ(0u, WaitForExit());
    EXPECT_EQ("11 00 01", LastCommand());
    RemoveDirectoryA(CAPTURE_FILE);
}

// Both programs carry a manifest that runs them with the operator's own
// rights and names the Windows versions they are made for, so Windows
// never redirects their files into a per-user store.
TEST(ProductManifest, BothProgramsRunAsInvokerOnWindows7To11)
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
        for (const char* os : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                               "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
            EXPECT_NE(std::string::npos, manifest.find(os)) << os;
    }
}

// A driver that neither completes reads nor lets them be cancelled costs
// the operator seconds, never the window: Stop, Device Connect and Exit
// each come back within their bound.
TEST_F(ProgramTest, AStuckDriverNeverFreezesTheWindow)
{
    const HWND main = Launch();
    ASSERT_NE(nullptr, main) << "the program's window did not show";
    auto holdReadsWhileShowing = [&] {
        Connect(main);
        wd::Click(main, ID_SHOW_IMAGE);
        EXPECT_TRUE(wd::WaitForControlText(main, ID_SHOW_IMAGE, "Stop"));
        EXPECT_TRUE(m_sim.SetFaults(0, SIM_FAULT_HOLD_READS));
        for (int i = 0; i < 100 && Status().heldRequests == 0; ++i)
            Sleep(20);
    };
    holdReadsWhileShowing();
    wd::Click(main, ID_SHOW_IMAGE);
    EXPECT_TRUE(wd::WaitForControlText(main, ID_SHOW_IMAGE, "Show Image", 3000)) << "Stop";
    Connect(main, "Connect Fail", 5000); // the query's reply is never read

    ASSERT_TRUE(m_sim.SetFaults(0, 0));
    holdReadsWhileShowing();
    wd::Click(main, IDCANCEL);
    EXPECT_TRUE(wd::WaitUntilGone(main, 3000)) << "Exit";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_process.hProcess, EXIT_WAIT_MS)) << "the program did not end";
}

// Counts the pixels of the picture control, read off the screen, that are
// not the sensor's picture magnified four times. The sunken edge hides the
// picture's last row.
int MismatchesOnScreen(HWND main, const std::vector<BYTE>& picture)
{
    const auto screen = testing_support::CClientPixels::OnScreen(GetDlgItem(main, 1000));
    if (screen.Width() != 512 || screen.Height() != 383) {
        ADD_FAILURE() << "the picture area is " << screen.Width() << " x " << screen.Height();
        return -1;
    }
    int mismatches = 0;
    for (int y = 0; y < screen.Height(); ++y)
        for (int x = 0; x < screen.Width(); ++x) {
            const BYTE v = picture[(y / 4) * 128 + x / 4];
            mismatches += screen.At(x, y) != RGB(v, v, v);
        }
    return mismatches;
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

// The program's own picture control, read off the screen while it shows a
// still sensor: the sensor's picture magnified four times; after Stop it
// stays so when uncovered, minimised and restored, and moved. Needs a
// display server (the X11 driver), where the screen holds every process's
// pixels; the test run starts one for this test alone.
TEST_F(ProgramTest, TheLivePictureOnScreenIsTheSensors)
{
    if (!std::getenv("ORLAVENT_SCREEN"))
        GTEST_SKIP() << "needs a display; run as the live_picture test";
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_STILL));
    const HWND main = Launch();
    ASSERT_NE(nullptr, main) << "the program's window did not show";
    std::vector<BYTE> picture;
    int live = -1;
    // The program paints on its own time: each check waits for it.
    auto mismatchesSettled = [&] {
        int mismatches = -1;
        for (int i = 0; i < 50 && mismatches != 0; ++i, Sleep(100))
            mismatches = MismatchesOnScreen(main, picture);
        return mismatches;
    };
    Capture(
        main,
        [&] {
            Sleep(CAPTURE_MS);
            ASSERT_TRUE(m_sim.GetPicture(0, picture));
            live = mismatchesSettled();
        },
        [&] {
            EXPECT_EQ(0, MismatchesOnScreen(main, picture)) << "after Stop";
            CoverAndUncover(main);
            EXPECT_EQ(0, mismatchesSettled()) << "uncovered";
            ShowWindow(main, SW_MINIMIZE);
            ShowWindow(main, SW_RESTORE);
            EXPECT_EQ(0, mismatchesSettled()) << "minimised and restored";
            RECT rc;
            GetWindowRect(main, &rc);
            SetWindowPos(main, nullptr, rc.left + 40, rc.top + 30, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
            EXPECT_EQ(0, mismatchesSettled()) << "moved";
        });
    EXPECT_EQ(0, live) << "while showing";
}

// A moving sensor, read off the screen again and again while it streams:
// each time the picture area shows one whole picture of the stream, never
// the top of one picture over the rest of another.
TEST_F(ProgramTest, TheLivePictureShowsWholePicturesOnly)
{
    if (!std::getenv("ORLAVENT_SCREEN"))
        GTEST_SKIP() << "needs a display; run as the live_picture test";
    const HWND main = Launch();
    ASSERT_NE(nullptr, main) << "the program's window did not show";
    std::vector<std::vector<BYTE>> seen;
    int strays = 0;
    Capture(main, [&] {
        Sleep(CAPTURE_MS / 2);
        for (int i = 0; i < 10; ++i, Sleep(97)) {
            int stray = 0;
            seen.push_back(testing_support::MagnifiedPicture(
                testing_support::CClientPixels::OnScreen(GetDlgItem(main, 1000)), stray));
            strays += stray;
        }
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

// The grey bytes of every complete picture (12,288 bytes between two
// markers) of a recording, in order.
std::vector<std::vector<BYTE>> CompletePictures(const std::vector<BYTE>& recording)
{
    const BYTE marker[] = {0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60};
    std::vector<std::vector<BYTE>> pictures;
    auto at = std::search(recording.begin(), recording.end(), marker, marker + 6);
    while (at != recording.end()) {
        const auto next = std::search(at + 6, recording.end(), marker, marker + 6);
        if (next - at == 6 + 12288)
            pictures.emplace_back(at + 6, next);
        at = next;
    }
    return pictures;
}

// What the program recorded, played back by the sensor and recorded again,
// gives back the same pictures in the same order.
TEST_F(ProgramTest, ARecordingReplayedBySensorRecordsTheSamePictures)
{
    const std::vector<BYTE> first = Record();
    ASSERT_TRUE(m_sim.SetReplay(0, first, FALSE));
    const std::vector<BYTE> second = Record();
    ASSERT_FALSE(HasFailure());

    const auto original = CompletePictures(first), replayed = CompletePictures(second);
    ASSERT_GE(replayed.size(), 5u);
    auto next = original.begin();
    for (size_t k = 0; k < replayed.size(); ++k) {
        next = std::find(next, original.end(), replayed[k]);
        ASSERT_NE(original.end(), next) << "picture " << k + 1 << " of the replay is not in order";
        ++next;
    }
}

} // namespace

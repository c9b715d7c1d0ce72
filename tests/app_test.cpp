// The main window and the settings dialog against the simulated sensor: the
// window runs modally on the test thread while a second thread operates it
// through window messages and records what it sees; assertions follow once
// the window has closed.
#include <algorithm>
#include <functional>
#include <thread>

#include "app/capture_dlg.h"
#include "app/config_dlg.h"
#include "device/chunk_notice.h"
#include "display/frame_painter.h"
#include "tests/test_support.h"
#include "tests/window_capture.h"
#include "tools/window_driver.h"

namespace wd = window_driver;
using testing_support::NowMs;

namespace {

const char MAIN_CAPTION[] = "Orlavent";
const char CONFIG_CAPTION[] = "Config";
const char CAPTION_SHOW_IMAGE[] = "Show Image";
const char CAPTION_STOP[] = "Stop";
const char CAPTURE_FILE[] = "C:\\1.txt";
const char STOP_STREAM_LOG[] = "11 00 01";

// Sent to the test's window subclass, in order with everything posted before.
constexpr UINT WM_PROBE = WM_APP + 1;        // snapshot the window's state
constexpr UINT WM_PLACE_CURSOR = WM_APP + 2; // wParam row, lParam column

constexpr DWORD CAPTURE_MS = 1000;
constexpr WORD SOME_ROW = 50;
constexpr WORD SOME_COL = 60;

// Register numbers of the six settings, in SensorSettings order.
constexpr BYTE SETTING_REGISTERS[SensorSettings::COUNT] = {0x00, 0x01, 0x03, 0x04, 0x1E, 0x1F};

struct WindowState {
    WORD row = 0;
    WORD col = 0;
    SensorSettings settings = {};
};

// The main window, with a way to see its cursor and settings from the
// driving thread.
class CProbedCaptureDlg : public CCaptureDlg {
public:
    CProbedCaptureDlg() : m_hProbed(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ~CProbedCaptureDlg() override { CloseHandle(m_hProbed); }

    // The state once the window has handled everything posted so far.
    bool Probe(WindowState& state)
    {
        if (!::PostMessageA(m_hWnd, WM_PROBE, 0, 0) || WaitForSingleObject(m_hProbed, wd::DEFAULT_WAIT_MS) != WAIT_OBJECT_0)
            return false;
        state = m_snapshot;
        return true;
    }

    void PlaceCursor(WORD row, WORD col) { ::PostMessageA(m_hWnd, WM_PLACE_CURSOR, row, col); }

protected:
    afx_msg LRESULT OnProbe(WPARAM, LPARAM)
    {
        m_snapshot.row = m_nRow;
        m_snapshot.col = m_nCol;
        m_snapshot.settings = m_settings;
        SetEvent(m_hProbed);
        return 0;
    }

    afx_msg LRESULT OnPlaceCursor(WPARAM wParam, LPARAM lParam)
    {
        m_nRow = static_cast<WORD>(wParam);
        m_nCol = static_cast<WORD>(lParam);
        return 0;
    }

    DECLARE_MESSAGE_MAP()

private:
    HANDLE m_hProbed;
    WindowState m_snapshot;
};

BEGIN_MESSAGE_MAP(CProbedCaptureDlg, CCaptureDlg)
    ON_MESSAGE(WM_PROBE, OnProbe)
    ON_MESSAGE(WM_PLACE_CURSOR, OnPlaceCursor)
END_MESSAGE_MAP()

std::vector<BYTE> SettingBytes(const SensorSettings& settings)
{
    std::vector<BYTE> bytes;
    for (size_t k = 0; k < SensorSettings::COUNT; ++k)
        bytes.push_back(settings[k]);
    return bytes;
}

std::vector<BYTE> SensorSettingRegisters(const SIM_STATUS& status)
{
    std::vector<BYTE> bytes;
    for (BYTE reg : SETTING_REGISTERS)
        bytes.push_back(status.regs[reg]);
    return bytes;
}

// Bytes the device receives for one start sequence: the register table,
// the sync and the start command.
DWORD StartSequenceBytes()
{
    DWORD bytes = 2;
    for (const RegisterEntry& entry : RegisterTable)
        bytes += entry.length;
    return bytes;
}

BOOL CALLBACK CollectOtherDialogs(HWND hwnd, LPARAM param)
{
    auto* dialogs = reinterpret_cast<std::vector<HWND>*>(param);
    char className[16] = {};
    GetClassNameA(hwnd, className, sizeof(className));
    if (IsWindowVisible(hwnd) && lstrcmpA(className, "#32770") == 0 && hwnd != dialogs->front())
        dialogs->push_back(hwnd);
    return TRUE;
}

// Answers whatever a failed script left open, then ends the main window,
// so that a failure cannot leave the test thread in the modal loop.
void EndWhatIsLeft(HWND main)
{
    while (IsWindow(main)) {
        std::vector<HWND> dialogs = {main};
        EnumThreadWindows(GetWindowThreadProcessId(main, nullptr), CollectOtherDialogs,
                          reinterpret_cast<LPARAM>(&dialogs));
        for (size_t i = 1; i < dialogs.size(); ++i)
            wd::AnswerMessageBox(dialogs[i], IDCANCEL);
        if (dialogs.size() == 1)
            wd::Click(main, IDCANCEL);
        Sleep(100);
    }
}

class AppTest : public SimTest {
protected:
    // Runs the main window on this thread while `script` operates it from
    // another; returns once the window has ended.
    void Run(const std::function<void(HWND)>& script)
    {
        m_app.m_pMainWnd = &m_dlg;
        std::thread driver([&] {
            const HWND main = wd::WaitForDialog(MAIN_CAPTION, wd::DEFAULT_WAIT_MS, GetCurrentProcessId());
            m_bShown = main != nullptr;
            if (main)
                script(main);
            EndWhatIsLeft(main);
        });
        m_nResult = m_dlg.DoModal();
        driver.join();
        m_app.m_pMainWnd = nullptr;
        ASSERT_TRUE(m_bShown) << "the main window did not show";
    }

    // Script steps.
    static wd::MessageBoxView Connect(HWND main)
    {
        wd::Click(main, IDOK);
        return wd::AcknowledgeMessageBox("Connect");
    }

    static bool StartCapture(HWND main)
    {
        wd::Click(main, IDC_SHOW_IMAGE);
        return wd::WaitForControlText(main, IDC_SHOW_IMAGE, CAPTION_STOP);
    }

    static bool StopCapture(HWND main)
    {
        wd::Click(main, IDC_SHOW_IMAGE);
        return wd::WaitForControlText(main, IDC_SHOW_IMAGE, CAPTION_SHOW_IMAGE);
    }

    WindowState Probe()
    {
        WindowState state;
        m_bProbed = m_dlg.Probe(state) && m_bProbed;
        return state;
    }

    // What a closed window must have left: the reader ended in order.
    void ExpectCaptureEndedInOrder()
    {
        EXPECT_EQ(IDCANCEL, m_nResult);
        HANDLE exclusive = CreateFileA(CAPTURE_FILE, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, exclusive) << "the capture file is still open";
        CloseHandle(exclusive);
        const std::vector<std::string> log = Log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(STOP_STREAM_LOG, log.back());
        EXPECT_FALSE(Status().streaming);
        EXPECT_EQ(0, OutstandingChunkNotices());
    }

    CWinApp m_app; // before the window: it loads its icon from the application
    CProbedCaptureDlg m_dlg;
    INT_PTR m_nResult = 0;
    bool m_bShown = false;
    bool m_bProbed = true;
};

TEST_F(AppTest, ShowImageBeforeConnectFailsWithoutTouchingTheDevice)
{
    wd::MessageBoxView box;
    std::string caption;
    HWND owner = nullptr, main = nullptr;
    Run([&](HWND hwnd) {
        main = hwnd;
        wd::Click(main, IDC_SHOW_IMAGE);
        const HWND found = wd::WaitForDialog("Catch");
        owner = GetWindow(found, GW_OWNER);
        box = wd::ReadMessageBox(found);
        wd::AnswerMessageBox(found);
        wd::WaitUntilGone(found);
        caption = wd::ControlText(main, IDC_SHOW_IMAGE);
    });
    EXPECT_EQ("Catch Image Fail", box.text);
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR), box.icon);
    EXPECT_EQ(main, owner);
    EXPECT_EQ(CAPTION_SHOW_IMAGE, caption);
    EXPECT_EQ(0u, Status().bytesReceived);
    EXPECT_EQ(0u, Status().openCount);
}

TEST_F(AppTest, ConnectTwiceHandshakesTwiceOnOneOpen)
{
    wd::MessageBoxView first, second;
    Run([&](HWND main) {
        first = Connect(main);
        second = Connect(main);
    });
    EXPECT_EQ("Connect Succeed", first.text);
    EXPECT_EQ(static_cast<UINT>(MB_ICONINFORMATION), first.icon);
    EXPECT_EQ("Connect Succeed", second.text);
    EXPECT_EQ(1u, Status().openCount);
    EXPECT_EQ(std::vector<std::string>({"OPEN", STOP_STREAM_LOG, "9A", STOP_STREAM_LOG, "9A"}), Log());
}

TEST_F(AppTest, ConnectWithoutADeviceSaysSo)
{
    ASSERT_TRUE(sim::SetInterfacePresent(0, FALSE));
    wd::MessageBoxView box;
    Run([&](HWND main) { box = Connect(main); });
    EXPECT_EQ("Connect Fail", box.text);
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR), box.icon);
    EXPECT_EQ(0u, Status().openCount);
}

TEST_F(AppTest, ShowImageProgramsTheDefaultsAndStreams)
{
    bool started = false;
    SIM_STATUS status = {};
    Run([&](HWND main) {
        Connect(main);
        started = StartCapture(main);
        m_sim.GetStatus(0, status);
    });
    ASSERT_TRUE(started);
    EXPECT_TRUE(status.streaming);
    EXPECT_EQ(SettingBytes(DEFAULT_SENSOR_SETTINGS), SensorSettingRegisters(status));
}

// Each way out of the window, pressed while a capture runs.
TEST_F(AppTest, ExitDuringACaptureStopsTheReaderFirst)
{
    bool started = false;
    Run([&](HWND main) {
        Connect(main);
        started = StartCapture(main);
        Sleep(CAPTURE_MS / 4);
        wd::Click(main, IDCANCEL);
        wd::WaitUntilGone(main);
    });
    ASSERT_TRUE(started);
    ExpectCaptureEndedInOrder();
}

TEST_F(AppTest, EscapeDuringACaptureActsAsExit)
{
    bool started = false;
    Run([&](HWND main) {
        Connect(main);
        started = StartCapture(main);
        wd::PostKey(main, VK_ESCAPE);
        wd::WaitUntilGone(main);
    });
    ASSERT_TRUE(started);
    ExpectCaptureEndedInOrder();
}

TEST_F(AppTest, TheCloseBoxDuringACaptureActsAsExit)
{
    bool started = false;
    Run([&](HWND main) {
        Connect(main);
        started = StartCapture(main);
        wd::PostClose(main);
        wd::WaitUntilGone(main);
    });
    ASSERT_TRUE(started);
    ExpectCaptureEndedInOrder();
}

TEST_F(AppTest, EnterOnTheFirstButtonActsAsDeviceConnect)
{
    HWND focus = nullptr, connectButton = nullptr;
    wd::MessageBoxView box;
    Run([&](HWND main) {
        focus = wd::FocusedControl(main);
        connectButton = GetDlgItem(main, IDOK);
        wd::PostKey(main, VK_RETURN);
        box = wd::AcknowledgeMessageBox("Connect");
    });
    EXPECT_EQ(connectButton, focus);
    EXPECT_EQ("Connect Succeed", box.text);
    EXPECT_EQ(IDCANCEL, m_nResult) << "Enter must not end the window";
}

// The cursor is placed away from the corner before each press; the sensor
// goes silent after the start sequence, so no chunk moves it afterwards.
TEST_F(AppTest, EachPressOfTheCaptureButtonRestartsTheCursor)
{
    WindowState placed, afterStart, afterStop, afterFailedStart;
    bool started = false, stopped = false;
    std::string failure;
    Run([&](HWND main) {
        Connect(main);
        m_sim.SetFaults(0, SIM_FAULT_GO_SILENT, 0, StartSequenceBytes());
        m_dlg.PlaceCursor(SOME_ROW, SOME_COL);
        placed = Probe();
        started = StartCapture(main);
        afterStart = Probe();

        m_dlg.PlaceCursor(SOME_ROW, SOME_COL);
        stopped = StopCapture(main);
        afterStop = Probe();

        // Silent from now on: the start fails, but the cursor is reset first.
        m_sim.SetFaults(0, SIM_FAULT_GO_SILENT, 0, 0);
        m_dlg.PlaceCursor(SOME_ROW, SOME_COL);
        wd::Click(main, IDC_SHOW_IMAGE);
        const HWND box = wd::WaitForDialog("Catch", 3 * wd::DEFAULT_WAIT_MS);
        afterFailedStart = Probe();
        failure = wd::ReadMessageBox(box).text;
        wd::AnswerMessageBox(box);
    });
    ASSERT_TRUE(m_bProbed);
    EXPECT_EQ(SOME_ROW, placed.row);
    EXPECT_EQ(SOME_COL, placed.col);
    ASSERT_TRUE(started);
    EXPECT_EQ(0, afterStart.row);
    EXPECT_EQ(0, afterStart.col);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(0, afterStop.row);
    EXPECT_EQ(0, afterStop.col);
    EXPECT_EQ("Catch Image Fail", failure);
    EXPECT_EQ(0, afterFailedStart.row);
    EXPECT_EQ(0, afterFailedStart.col);
}

// The six edits of the settings dialog, in SensorSettings order.
std::vector<std::string> SettingTexts(HWND config)
{
    std::vector<std::string> texts;
    for (int k = 0; k < static_cast<int>(SensorSettings::COUNT); ++k)
        texts.push_back(wd::ControlText(config, IDC_GAIN1 + k));
    return texts;
}

void TypeSettings(HWND config, const std::vector<const char*>& texts)
{
    for (size_t k = 0; k < texts.size(); ++k)
        wd::SetControlText(config, IDC_GAIN1 + static_cast<int>(k), texts[k]);
}

const std::vector<std::string> DEFAULT_SETTING_TEXTS = {"10", "10", "111", "110", "8", "0"};

TEST_F(AppTest, SettingsTypedInTheConfigDialogReachTheSensorAtTheNextStart)
{
    HWND main = nullptr, owner = nullptr;
    std::vector<std::string> shown;
    WindowState afterOk;
    SIM_STATUS status = {};
    bool started = false;
    Run([&](HWND hwnd) {
        main = hwnd;
        wd::Click(main, IDC_INITIAL_MODE); // hidden, but its command works
        const HWND config = wd::WaitForDialog(CONFIG_CAPTION);
        owner = GetWindow(config, GW_OWNER);
        shown = SettingTexts(config);
        TypeSettings(config, {"300", "256", "1000", "7", "8", "9"});
        wd::Click(config, IDOK);
        wd::WaitUntilGone(config);
        afterOk = Probe();

        Connect(main);
        started = StartCapture(main);
        m_sim.GetStatus(0, status);
    });
    EXPECT_EQ(main, owner);
    EXPECT_EQ(DEFAULT_SETTING_TEXTS, shown);
    const std::vector<BYTE> expected = {44, 0, 232, 7, 8, 9};
    ASSERT_TRUE(m_bProbed);
    EXPECT_EQ(expected, SettingBytes(afterOk.settings));
    ASSERT_TRUE(started);
    EXPECT_EQ(expected, SensorSettingRegisters(status));
}

TEST_F(AppTest, CancelKeepsTheSettingsAndReopeningShowsTheDefaults)
{
    std::vector<std::string> reopened;
    WindowState afterOk, afterCancel;
    Run([&](HWND main) {
        wd::Click(main, IDC_INITIAL_MODE);
        HWND config = wd::WaitForDialog(CONFIG_CAPTION);
        TypeSettings(config, {"1", "2", "3", "4", "5", "6"});
        wd::Click(config, IDOK);
        wd::WaitUntilGone(config);
        afterOk = Probe();

        wd::Click(main, IDC_INITIAL_MODE);
        config = wd::WaitForDialog(CONFIG_CAPTION);
        reopened = SettingTexts(config);
        TypeSettings(config, {"20", "20", "20", "20", "20", "20"});
        wd::Click(config, IDCANCEL);
        wd::WaitUntilGone(config);
        afterCancel = Probe();
    });
    ASSERT_TRUE(m_bProbed);
    EXPECT_EQ(std::vector<BYTE>({1, 2, 3, 4, 5, 6}), SettingBytes(afterOk.settings));
    EXPECT_EQ(DEFAULT_SETTING_TEXTS, reopened);
    EXPECT_EQ(std::vector<BYTE>({1, 2, 3, 4, 5, 6}), SettingBytes(afterCancel.settings));
}

TEST(SettingFromTextTest, KeepsTheLowEightBitsOfWhatAtoiReads)
{
    EXPECT_EQ(44, SettingFromText("300"));
    EXPECT_EQ(0, SettingFromText("256"));
    EXPECT_EQ(232, SettingFromText("1000"));
    EXPECT_EQ(255, SettingFromText("-1"));
    EXPECT_EQ(12, SettingFromText("  12abc"));
    EXPECT_EQ(0, SettingFromText(""));
    EXPECT_EQ(0, SettingFromText("abc"));
    // Beyond 32 bits the value still keeps its low 8 bits.
    EXPECT_EQ(44, SettingFromText("4294967596"));
    // 10^40 = 2^40 * 5^40 is a multiple of 256; 10^40 + 7 is 7 modulo 256.
    EXPECT_EQ(7, SettingFromText("10000000000000000000000000000000000000007"));
}

// The picture control's place, and the still picture painted into it.
TEST_F(AppTest, TheLivePictureIsTheSensorsPictureMagnifiedFourTimes)
{
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_STILL));
    RECT placed = {};
    bool started = false;
    std::vector<BYTE> picture;
    std::unique_ptr<testing_support::CClientPixels> pixels;
    Run([&](HWND main) {
        const HWND control = GetDlgItem(main, IDC_PICTURE);
        GetWindowRect(control, &placed);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&placed), 2);
        Connect(main);
        started = StartCapture(main);
        Sleep(CAPTURE_MS);
        // Read while the capture runs: every picture of a still sensor paints
        // the same pixels. After a stop, the chunks still queued would be
        // painted from the top-left corner, over the last picture.
        m_sim.GetPicture(0, picture);
        pixels.reset(new testing_support::CClientPixels(control));
        StopCapture(main);
    });
    EXPECT_EQ(10, placed.left);
    EXPECT_EQ(10, placed.top);
    EXPECT_EQ(514, placed.right - placed.left);
    EXPECT_EQ(385, placed.bottom - placed.top);
    ASSERT_TRUE(started);
    ASSERT_EQ(static_cast<size_t>(SIM_PICTURE_BYTES), picture.size());

    // The sunken edge takes a pixel on each side: the client area shows all
    // 512 columns but only 383 of the 384 rows. Only what shows is compared.
    const int width = std::min(pixels->Width(), PICTURE_WIDTH * PICTURE_SCALE);
    const int height = std::min(pixels->Height(), PICTURE_HEIGHT * PICTURE_SCALE);
    EXPECT_GE(width, PICTURE_WIDTH * PICTURE_SCALE - 2);
    EXPECT_GE(height, PICTURE_HEIGHT * PICTURE_SCALE - 2);
    int mismatches = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const BYTE v = picture[(y / PICTURE_SCALE) * PICTURE_WIDTH + x / PICTURE_SCALE];
            if (pixels->At(x, y) != RGB(v, v, v) && mismatches++ == 0)
                ADD_FAILURE() << "first wrong pixel at (" << x << ", " << y << ")";
        }
    }
    EXPECT_EQ(0, mismatches);
}

TEST_F(AppTest, AClickIsHandledPromptlyWhileTheSensorStreamsFlatOut)
{
    ASSERT_TRUE(m_sim.SetRate(0, SIM_RATE_FLAT_OUT));
    bool started = false, stopped = false;
    double stopMs = 0;
    long backlog = 0;
    Run([&](HWND main) {
        Connect(main);
        started = StartCapture(main);
        Sleep(CAPTURE_MS / 2);
        backlog = OutstandingChunkNotices(); // what the click queues behind
        const double start = NowMs();
        stopped = StopCapture(main);
        stopMs = NowMs() - start;
    });
    ASSERT_TRUE(started);
    ASSERT_TRUE(stopped);
    RecordProperty("stop_ms", static_cast<int>(stopMs));
    RecordProperty("queued_chunks", static_cast<int>(backlog));
    EXPECT_LT(stopMs, 1000.0);
}

} // namespace

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
#include "tests/test_support.h"
#include "tools/window_driver.h"

namespace wd = window_driver;

namespace {

// Control ids as the dialog templates number them, written out so that a
// renumbered control fails here.
constexpr int ID_PICTURE = 1000;
constexpr int ID_INITIAL_MODE = 1001;
constexpr int ID_SHOW_IMAGE = 1002;
constexpr int ID_FIRST_SETTING = 1000; // the settings dialog's six edits follow in order

const char CAPTION_SHOW_IMAGE[] = "Show Image";
const char STOP_STREAM_LOG[] = "11 00 01";
const std::vector<std::string> DEFAULT_SETTING_TEXTS = {"10", "10", "111", "110", "8", "0"};

// Sent to the test's window subclass: answers with the cursor (row, column),
// or, with wParam set, whether the painting timer was running (and stops it).
constexpr UINT WM_PROBE = WM_APP + 1;
// Posted to it: the window's thread stops handling messages until released.
constexpr UINT WM_STALL = WM_APP + 2;

// The sensor's registers of the six settings, in SensorSettings order.
std::vector<BYTE> SensorSettingRegisters(const SIM_STATUS& status)
{
    const BYTE* r = status.regs;
    return {r[0x00], r[0x01], r[0x03], r[0x04], r[0x1E], r[0x1F]};
}

using Cursor = std::pair<WORD, WORD>; // row, column

// The main window, with a way to see its cursor and timer from the driving
// thread.
class CProbedCaptureDlg : public CCaptureDlg {
public:
    CProbedCaptureDlg() : m_hStallEnd(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ~CProbedCaptureDlg() override { CloseHandle(m_hStallEnd); }

    // Holds the window's thread in a handler until EndStall.
    void Stall() { ::PostMessageA(m_hWnd, WM_STALL, 0, 0); }
    void EndStall() { SetEvent(m_hStallEnd); }

    // The window's chunk queue, which the reader fills from its own thread.
    CChunkQueue& ChunkQueue() { return m_picture.Queue(); }

    // {0xFFFF, 0xFFFF} if the window did not answer.
    Cursor ProbeCursor()
    {
        const DWORD_PTR cursor = Probe(FALSE);
        return {LOWORD(cursor), HIWORD(cursor)};
    }
    bool TimerWasRunning() { return Probe(TRUE) == TRUE; }

protected:
    DWORD_PTR Probe(BOOL bTimer)
    {
        DWORD_PTR answer = 0xFFFFFFFF;
        SendMessageTimeoutA(m_hWnd, WM_PROBE, bTimer, 0, SMTO_NORMAL, wd::DEFAULT_WAIT_MS, &answer);
        return answer;
    }

    afx_msg LRESULT OnProbe(WPARAM bTimer, LPARAM)
    {
        if (bTimer)
            return KillTimer(m_hWnd, 1);
        return MAKELRESULT(m_picture.Painter().Row(), m_picture.Painter().Col());
    }

    afx_msg LRESULT OnStall(WPARAM, LPARAM)
    {
        WaitForSingleObject(m_hStallEnd, 2 * wd::DEFAULT_WAIT_MS);
        return 0;
    }

    DECLARE_MESSAGE_MAP()

private:
    HANDLE m_hStallEnd;
};

BEGIN_MESSAGE_MAP(CProbedCaptureDlg, CCaptureDlg)
    ON_MESSAGE(WM_PROBE, OnProbe)
    ON_MESSAGE(WM_STALL, OnStall)
END_MESSAGE_MAP()

// Cancels a visible dialog other than the main window; FALSE once it has.
BOOL CALLBACK CancelOtherDialog(HWND hwnd, LPARAM main)
{
    char className[16] = {};
    GetClassNameA(hwnd, className, sizeof(className));
    if (hwnd == reinterpret_cast<HWND>(main) || !IsWindowVisible(hwnd) || lstrcmpA(className, "#32770") != 0)
        return TRUE;
    wd::AnswerMessageBox(hwnd, IDCANCEL);
    return FALSE;
}

// Answers whatever a failed script left open, then ends the main window,
// so that a failure cannot leave the test thread in the modal loop.
void EndWhatIsLeft(HWND main)
{
    const DWORD thread = GetWindowThreadProcessId(main, nullptr);
    for (; IsWindow(main); Sleep(100))
        if (EnumThreadWindows(thread, CancelOtherDialog, reinterpret_cast<LPARAM>(main)))
            wd::Click(main, IDCANCEL);
}

class AppTest : public SimTest {
protected:
    // Runs the main window on this thread while `script` operates it from
    // another; returns once the window has ended.
    void Run(const std::function<void(HWND)>& script)
    {
        m_app.m_pMainWnd = &m_dlg;
        bool shown = false;
        std::thread driver([&] {
            const HWND main = wd::WaitForDialog("Orlavent", wd::DEFAULT_WAIT_MS, GetCurrentProcessId());
            if ((shown = main != nullptr))
                script(main);
            EndWhatIsLeft(main);
        });
        m_nResult = m_dlg.DoModal();
        driver.join();
        m_app.m_pMainWnd = nullptr;
        ASSERT_TRUE(shown) << "the main window did not show";
    }

    // Script steps.
    static wd::MessageBoxView Connect(HWND main)
    {
        wd::Click(main, IDOK);
        return wd::AcknowledgeMessageBox("Connect");
    }

    // Presses the capture button; true once its caption reads `caption`.
    static bool PressCapture(HWND main, const char* caption)
    {
        wd::Click(main, ID_SHOW_IMAGE);
        return wd::WaitForControlText(main, ID_SHOW_IMAGE, caption);
    }
    static bool StartCapture(HWND main) { return PressCapture(main, "Stop"); }

    // Opens the settings dialog with the hidden command (1001), types
    // `texts` into its six edits and answers; returns what they showed first.
    static std::vector<std::string> EditSettings(HWND main, const std::vector<const char*>& texts, int answer,
                                                 HWND* owner = nullptr)
    {
        wd::Click(main, ID_INITIAL_MODE);
        const HWND config = wd::WaitForDialog("Config");
        if (owner)
            *owner = GetWindow(config, GW_OWNER);
        std::vector<std::string> shown;
        for (int k = 0; k < 6; ++k) {
            shown.push_back(wd::ControlText(config, ID_FIRST_SETTING + k));
            wd::SetControlText(config, ID_FIRST_SETTING + k, texts[k]);
        }
        wd::Click(config, answer);
        wd::WaitUntilGone(config);
        return shown;
    }

    CWinApp m_app; // before the window: it loads its icon from the application
    CProbedCaptureDlg m_dlg;
    INT_PTR m_nResult = 0;
};

// Show Image before a connect fails without touching the device; a connect
// without a device fails; once it is there, Enter on the first button
// connects, and a second connect handshakes again on the same open.
TEST_F(AppTest, ShowImageNeedsAConnectAndEachConnectHandshakesOnOneOpen)
{
    HWND main = nullptr;
    int focused = 0;
    wd::MessageBoxView refused, absent, first, second;
    std::string caption;
    SIM_STATUS beforeConnect = {};
    Run([&](HWND hwnd) {
        main = hwnd;
        focused = GetDlgCtrlID(wd::FocusedControl(main));
        wd::Click(main, ID_SHOW_IMAGE);
        refused = wd::AcknowledgeMessageBox("Catch");
        caption = wd::ControlText(main, ID_SHOW_IMAGE);
        m_sim.GetStatus(0, beforeConnect);

        sim::SetInterfacePresent(0, FALSE);
        absent = Connect(main);
        sim::SetInterfacePresent(0, TRUE);
        wd::PostKey(main, VK_RETURN);
        first = wd::AcknowledgeMessageBox("Connect");
        second = Connect(main);
    });
    EXPECT_EQ("Catch Image Fail", refused.text);
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR), refused.icon);
    EXPECT_EQ(main, refused.owner);
    EXPECT_EQ(CAPTION_SHOW_IMAGE, caption);
    EXPECT_EQ(0u, beforeConnect.bytesReceived);
    EXPECT_EQ(0u, beforeConnect.openCount);

    EXPECT_EQ("Connect Fail", absent.text);
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR), absent.icon);
    EXPECT_EQ(IDOK, focused) << "Enter goes to the Device Connect button";
    EXPECT_EQ("Connect Succeed", first.text);
    EXPECT_EQ(static_cast<UINT>(MB_ICONINFORMATION), first.icon);
    EXPECT_EQ("Connect Succeed", second.text);
    EXPECT_EQ(IDCANCEL, m_nResult) << "Enter must not end the window";
    EXPECT_EQ(1u, Status().openCount);
    EXPECT_EQ(std::vector<std::string>({"OPEN", STOP_STREAM_LOG, "9A", STOP_STREAM_LOG, "9A"}), Log());
}

bool IsClosed(const char* path)
{
    HANDLE exclusive = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    CloseHandle(exclusive);
    return exclusive != INVALID_HANDLE_VALUE;
}

// Each way out of the window or of the capture, taken while a capture runs
// and chunk announcements that are no chunk of the window's are posted to
// it, stops it in order first, within its bound: the capture file holds the
// stream and is closed, the stop command is the last thing the sensor
// heard and no chunk notice is left outstanding. At the end of the session
// the process may be ended as soon as the window has answered; Device
// Connect then runs its handshake and says so.
struct WayOut {
    const char* name;
    bool (*press)(HWND main);
    const char* connectBox; // the box it ends with, if any
    bool closes;
    std::vector<std::string> logAfterStop; // what the sensor heard after the reader's stop
};

class AppExitTest : public AppTest, public ::testing::WithParamInterface<WayOut> {};

void PrintTo(const WayOut& way, std::ostream* os)
{
    *os << way.name;
}

bool EndSession(HWND main)
{
    DWORD_PTR answer = 0;
    return SendMessageTimeoutA(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 1000, &answer) &&
           answer == TRUE && SendMessageTimeoutA(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 4000, &answer);
}

TEST_P(AppExitTest, DuringACaptureStopsItInOrderFirst)
{
    const WayOut& way = GetParam();
    bool started = false, pressed = false, closed = false;
    SIM_STATUS status = {}, atStart = {};
    std::vector<std::string> log;
    std::string caption, box;
    Run([&](HWND main) {
        Connect(main);
        started = StartCapture(main);
        m_sim.GetStatus(0, atStart);
        for (LPARAM junk : {LPARAM(0), LPARAM(1), LPARAM(0x1000), LPARAM(0xFFFF0000u)}) // from anywhere
            PostMessageA(main, WM_CHUNK_READY, static_cast<WPARAM>(junk), junk);
        Sleep(250);
        pressed = way.press(main);
        if (way.connectBox)
            box = wd::AcknowledgeMessageBox("Connect").text;
        if (way.closes)
            wd::WaitUntilGone(main);
        else
            caption = wd::ControlText(main, ID_SHOW_IMAGE);
        closed = IsClosed("C:\\1.txt");
        m_sim.GetStatus(0, status);
        log = Log();
    });
    ASSERT_TRUE(started);
    EXPECT_TRUE(pressed);
    // The start programmed the default settings.
    EXPECT_EQ(std::vector<BYTE>({10, 10, 111, 110, 8, 0}), SensorSettingRegisters(atStart));
    EXPECT_TRUE(closed) << "the capture file is still open";
    EXPECT_FALSE(status.streaming);
    EXPECT_EQ(0, m_dlg.ChunkQueue().Count());
    EXPECT_EQ(way.closes ? "" : CAPTION_SHOW_IMAGE, caption);
    EXPECT_EQ(way.connectBox ? way.connectBox : "", box);
    const auto stop = std::find(std::find(log.begin(), log.end(), "A1"), log.end(), STOP_STREAM_LOG);
    ASSERT_NE(log.end(), stop);
    EXPECT_EQ(way.logAfterStop, std::vector<std::string>(stop + 1, log.end()));
    std::vector<BYTE> file;
    ASSERT_TRUE(testing_support::ReadWholeFile("C:\\1.txt", file));
    const std::vector<BYTE> reply = {0x49, 0x44, 0x80, 0x60}; // the handshake's, not recorded
    std::vector<BYTE> before = testing_support::StartSequenceReplies();
    before.insert(before.begin(), reply.begin(), reply.end());
    EXPECT_TRUE(testing_support::DeliveredAround(file, status, before, way.connectBox ? reply : std::vector<BYTE>()));
}

const WayOut WAYS_OUT[] = {
    {"Exit", [](HWND main) { return wd::Click(main, IDCANCEL); }, nullptr, true, {}},
    {"Escape", [](HWND main) { return wd::PostKey(main, VK_ESCAPE); }, nullptr, true, {}},
    {"CloseBox", wd::PostClose, nullptr, true, {}},
    {"SessionEnd", EndSession, nullptr, false, {}},
    {"DeviceConnect", [](HWND main) { return wd::Click(main, IDOK); }, "Connect Succeed", false,
     {STOP_STREAM_LOG, "9A"}},
};

INSTANTIATE_TEST_SUITE_P(AppTest, AppExitTest, ::testing::ValuesIn(WAYS_OUT),
                         [](const ::testing::TestParamInfo<WayOut>& info) { return std::string(info.param.name); });

// The picture control's picture, read back through its own drawing context.
std::vector<BYTE> PictureOnControl(HWND main, int& strays)
{
    return testing_support::MagnifiedPicture(testing_support::CClientPixels(GetDlgItem(main, ID_PICTURE)), strays);
}

// Polls until the control shows `expected` in its first expected.size()
// picture bytes, every pixel of the picture exactly its block's grey.
bool WaitForPicture(HWND main, const std::vector<BYTE>& expected, DWORD timeoutMs = wd::DEFAULT_WAIT_MS)
{
    for (const double end = testing_support::NowMs() + timeoutMs;; Sleep(20)) {
        int strays = 0;
        const std::vector<BYTE> shown = PictureOnControl(main, strays);
        if (strays == 0 && std::equal(expected.begin(), expected.end(), shown.begin()))
            return true;
        if (testing_support::NowMs() > end)
            return false;
    }
}

// Chunks the window has not painted when a capture stops, or that wait when
// one starts, are never painted, and after Stop nothing runs, whatever is
// posted to the window: the new capture paints its own stream from the top
// left. That stream has no marker, and still shows.
TEST_F(AppTest, EachCapturePaintsOnlyItsOwnStreamFromTheTopLeftMarkersOrNot)
{
    std::vector<BYTE> replay(128 * 96);
    for (size_t i = 0; i < replay.size(); ++i)
        replay[i] = static_cast<BYTE>(1 + i * 5 % 250);
    const std::vector<BYTE> leftover(CHUNK_SIZE, 0x11);
    ASSERT_TRUE(m_sim.SetRate(0, SIM_RATE_FLAT_OUT));
    CChunkQueue& queue = m_dlg.ChunkQueue();
    long queuedAtStop = 0, queuedAfterStop = -1;
    Cursor afterStop;
    bool started = false, stopped = false, restarted = false, shown = false, timerAfterStop = true;
    Run([&](HWND main) {
        Connect(main);
        started = StartCapture(main);
        Sleep(200); // painted up to somewhere in a picture
        m_dlg.Stall();
        for (int i = 0; i < 1500 && queue.Count() < MAX_QUEUED_CHUNKS; ++i)
            Sleep(10);
        queuedAtStop = queue.Count();
        wd::Click(main, ID_SHOW_IMAGE); // handled before the painting timer's next tick
        m_dlg.EndStall();
        stopped = wd::WaitForControlText(main, ID_SHOW_IMAGE, CAPTION_SHOW_IMAGE);
        PostMessageA(main, WM_CHUNK_READY, 0, 0); // as anyone may
        Sleep(100); // time for ticks of a painting timer left running
        afterStop = m_dlg.ProbeCursor();
        timerAfterStop = m_dlg.TimerWasRunning();
        queuedAfterStop = queue.Count();

        // Chunks waiting when Show Image is pressed: posted while the window
        // is held, so that the press comes before any tick could paint them.
        m_sim.SetReplay(0, replay, TRUE);
        m_dlg.Stall();
        for (int i = 0; i < 3; ++i)
            queue.Post(main, leftover.data(), CHUNK_SIZE);
        wd::Click(main, ID_SHOW_IMAGE);
        m_dlg.EndStall();
        restarted = wd::WaitForControlText(main, ID_SHOW_IMAGE, "Stop");
        shown = WaitForPicture(main, replay);
        PressCapture(main, CAPTION_SHOW_IMAGE);
    });
    ASSERT_TRUE(started && stopped);
    EXPECT_EQ(MAX_QUEUED_CHUNKS, queuedAtStop) << "the queue should have filled while the window was held";
    EXPECT_EQ(0, queuedAfterStop);
    EXPECT_EQ(Cursor(0, 0), afterStop) << "chunks were painted after Stop";
    EXPECT_FALSE(timerAfterStop) << "a timer runs while no capture does";
    EXPECT_TRUE(restarted);
    EXPECT_TRUE(shown) << "the new stream is not shown from the top left";
}

// The device loses bytes (here a recording that lost some): the operator is
// told once, with the number of the first damaged picture as orlavent-inspect
// counts them, and the capture goes on. The stretch before the first marker
// and the unfinished last picture are not damaged.
TEST_F(AppTest, BytesTheDeviceLostAreToldOnceAndTheCaptureGoesOn)
{
    std::vector<BYTE> replay(100, 0x33);
    for (size_t length : {12288, 12288, 12287, 12295, 12288, 6000}) {
        replay.insert(replay.end(), {0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60});
        replay.insert(replay.end(), length, 0x40);
    }
    ASSERT_TRUE(m_sim.SetReplay(0, replay, FALSE));
    wd::MessageBoxView box;
    std::string caption;
    HWND second = nullptr;
    std::vector<BYTE> file;
    Run([&](HWND main) {
        Connect(main);
        StartCapture(main);
        box = wd::AcknowledgeMessageBox("Record");
        caption = wd::ControlText(main, ID_SHOW_IMAGE);
        second = wd::WaitForDialog("Record", 500);
        PressCapture(main, CAPTION_SHOW_IMAGE);
        testing_support::ReadWholeFile("C:\\1.txt", file);
    });
    EXPECT_NE(std::string::npos, box.text.find("The device lost bytes: picture 3 ")) << box.text;
    EXPECT_NE(std::string::npos, box.text.find("C:\\1.txt holds the stream as it came")) << box.text;
    EXPECT_EQ("Stop", caption);
    EXPECT_EQ(nullptr, second) << "told more than once";
    EXPECT_EQ(replay, file);
}

// The dialog opens on the defaults each time; OK keeps what was typed, read
// as atoi reads it but cut to 8 bits whatever its length, Cancel keeps the
// settings as they were, and the next start writes them to the sensor.
TEST_F(AppTest, TheConfigDialogSetsWhatTheNextStartWritesToTheSensor)
{
    HWND main = nullptr, owner = nullptr;
    std::vector<std::string> shown, reopened;
    SIM_STATUS status = {};
    bool started = false;
    Run([&](HWND hwnd) {
        main = hwnd;
        // 4294967596 is 2^32 + 300; 10^18 is a multiple of 256, and all 19
        // digits are read.
        shown = EditSettings(main, {"300", "-1", " 12abc", "", "4294967596", "1000000000000000009"}, IDOK, &owner);
        reopened = EditSettings(main, {"20", "20", "20", "20", "20", "20"}, IDCANCEL);

        Connect(main);
        started = StartCapture(main);
        m_sim.GetStatus(0, status);
    });
    EXPECT_EQ(main, owner);
    EXPECT_EQ(DEFAULT_SETTING_TEXTS, shown);
    EXPECT_EQ(DEFAULT_SETTING_TEXTS, reopened);
    ASSERT_TRUE(started);
    EXPECT_EQ(std::vector<BYTE>({44, 255, 12, 0, 44, 9}), SensorSettingRegisters(status));
}

} // namespace

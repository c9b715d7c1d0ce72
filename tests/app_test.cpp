// The main window and the settings dialog against the simulated sensor: the
// window runs modally on the test thread while a second thread operates it
// through window messages and records what it sees; assertions follow once
// the window has closed.
#include <algorithm>
#include <atomic>
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

// Sent to the test's window subclass: moves the cursor to lParam (row,
// column) if wParam is set, by painting bytes as a stream would, then
// answers with it.
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

// The main window, with a way to see and move its cursor from the driving
// thread.
class CProbedCaptureDlg : public CCaptureDlg {
public:
    CProbedCaptureDlg() : m_hStallEnd(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ~CProbedCaptureDlg() override { CloseHandle(m_hStallEnd); }

    // Holds the window's thread in a handler until EndStall.
    void Stall() { ::PostMessageA(m_hWnd, WM_STALL, 0, 0); }
    void EndStall() { SetEvent(m_hStallEnd); }

    // Times the window erased its background for a minimised icon.
    LONG m_nIconErasures = 0;

    // The window's chunk queue, which the reader fills from its own thread.
    CChunkQueue& ChunkQueue() { return m_picture.Queue(); }

    // The cursor, after moving it to `moveTo` if given; {0xFFFF, 0xFFFF} if
    // the window did not answer.
    Cursor ProbeCursor(const Cursor* moveTo = nullptr)
    {
        DWORD_PTR cursor = 0xFFFFFFFF;
        const LPARAM place = moveTo ? MAKELPARAM(moveTo->first, moveTo->second) : 0;
        SendMessageTimeoutA(m_hWnd, WM_PROBE, moveTo != nullptr, place, SMTO_NORMAL, wd::DEFAULT_WAIT_MS, &cursor);
        return {LOWORD(cursor), HIWORD(cursor)};
    }

protected:
    afx_msg LRESULT OnProbe(WPARAM move, LPARAM place)
    {
        const CFramePainter& painter = m_picture.Painter();
        if (move) {
            const int from = painter.Row() * PICTURE_WIDTH + painter.Col();
            const int to = LOWORD(place) * PICTURE_WIDTH + HIWORD(place);
            const int picture = PICTURE_WIDTH * PICTURE_HEIGHT;
            std::vector<BYTE> bytes((to - from + picture) % picture, 0x40);
            for (size_t o = 0; o < bytes.size(); o += CHUNK_SIZE)
                m_picture.Queue().Post(m_hWnd, bytes.data() + o, std::min(CHUNK_SIZE, bytes.size() - o));
            m_picture.PaintQueuedChunks(GetTickCount64());
        }
        return MAKELRESULT(painter.Row(), painter.Col());
    }

    afx_msg LRESULT OnStall(WPARAM, LPARAM)
    {
        WaitForSingleObject(m_hStallEnd, 2 * wd::DEFAULT_WAIT_MS);
        return 0;
    }

    afx_msg LRESULT OnIconEraseBackground(WPARAM, LPARAM)
    {
        InterlockedIncrement(&m_nIconErasures);
        return Default();
    }

    DECLARE_MESSAGE_MAP()

private:
    HANDLE m_hStallEnd;
};

BEGIN_MESSAGE_MAP(CProbedCaptureDlg, CCaptureDlg)
    ON_MESSAGE(WM_PROBE, OnProbe)
    ON_MESSAGE(WM_STALL, OnStall)
    ON_MESSAGE(WM_ICONERASEBKGND, OnIconEraseBackground)
END_MESSAGE_MAP()

// Notes, on the window's thread, how many chunks were still queued in
// g_pWatchedQueue when it retrieved the first key press.
std::atomic<long> g_queuedAtKey{-1};
CChunkQueue* g_pWatchedQueue = nullptr;

LRESULT CALLBACK WatchForKey(int code, WPARAM removal, LPARAM lParam)
{
    const MSG* msg = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && removal == PM_REMOVE && msg->message == WM_KEYDOWN && g_queuedAtKey < 0)
        g_queuedAtKey = g_pWatchedQueue->Count();
    return CallNextHookEx(nullptr, code, removal, lParam);
}

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
// connects, and a second connect handshakes again on the same open. The
// window places its picture control, shows its icon as big, small and
// dragged icon, and paints no minimised icon while it is not minimised.
// (The live picture is read off the screen in e2e_test.)
TEST_F(AppTest, ShowImageNeedsAConnectAndEachConnectHandshakesOnOneOpen)
{
    HWND main = nullptr;
    int focused = 0;
    DWORD_PTR icons[3] = {};
    LONG erasures = -1;
    RECT placed = {};
    wd::MessageBoxView refused, absent, first, second;
    std::string caption;
    SIM_STATUS beforeConnect = {};
    Run([&](HWND hwnd) {
        main = hwnd;
        focused = GetDlgCtrlID(wd::FocusedControl(main));
        GetWindowRect(GetDlgItem(main, ID_PICTURE), &placed);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&placed), 2);
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

        for (int i = 0; i < 3; ++i) {
            const UINT message = i < 2 ? WM_GETICON : WM_QUERYDRAGICON;
            const WPARAM kind = i == 0 ? ICON_BIG : ICON_SMALL;
            SendMessageTimeoutA(main, message, kind, 0, SMTO_NORMAL, wd::DEFAULT_WAIT_MS, &icons[i]);
        }
        RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        wd::Sync(main);
        erasures = m_dlg.m_nIconErasures;
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
    for (const wd::MessageBoxView* box : {&refused, &absent, &first})
        EXPECT_EQ(std::vector<int>({1}), box->buttons) << box->text << ": OK and nothing else";
    EXPECT_EQ(IDCANCEL, m_nResult) << "Enter must not end the window";
    EXPECT_EQ(1u, Status().openCount);
    EXPECT_EQ(std::vector<std::string>({"OPEN", STOP_STREAM_LOG, "9A", STOP_STREAM_LOG, "9A"}), Log());

    // The picture control, sunken edge included, is placed at (10, 10), 514 x 385.
    EXPECT_EQ(std::vector<LONG>({10, 10, 524, 395}),
              std::vector<LONG>({placed.left, placed.top, placed.right, placed.bottom}));
    const DWORD_PTR icon = reinterpret_cast<DWORD_PTR>(m_app.LoadIcon(128));
    ASSERT_NE(0u, icon);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(icon, icons[i]) << (i == 0 ? "big" : i == 1 ? "small" : "dragged") << " icon";
    EXPECT_EQ(0, erasures) << "painted as minimised while it was not";
}

// Each way out of the window, pressed while a capture runs, stops the reader
// first: the capture file is closed, the stop command is the last thing the
// sensor heard and no chunk notice is left outstanding.
struct WayOut {
    const char* name;
    bool (*press)(HWND main);
};

class AppExitTest : public AppTest, public ::testing::WithParamInterface<WayOut> {};

TEST_P(AppExitTest, DuringACaptureStopsTheReaderFirst)
{
    bool started = false;
    SIM_STATUS status = {};
    Run([&](HWND main) {
        Connect(main);
        started = StartCapture(main);
        m_sim.GetStatus(0, status);
        Sleep(250);
        GetParam().press(main);
        wd::WaitUntilGone(main);
    });
    ASSERT_TRUE(started);
    // The start programmed the default settings.
    EXPECT_EQ(std::vector<BYTE>({10, 10, 111, 110, 8, 0}), SensorSettingRegisters(status));

    EXPECT_EQ(IDCANCEL, m_nResult);
    HANDLE exclusive = CreateFileA("C:\\1.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, exclusive) << "the capture file is still open";
    CloseHandle(exclusive);
    EXPECT_EQ(STOP_STREAM_LOG, Log().back()); // not empty: the start was logged
    EXPECT_FALSE(Status().streaming);
    EXPECT_EQ(0, m_dlg.ChunkQueue().Count());
}

const WayOut WAYS_OUT[] = {
    {"Exit", [](HWND main) { return wd::Click(main, IDCANCEL); }},
    {"Escape", [](HWND main) { return wd::PostKey(main, VK_ESCAPE); }},
    {"CloseBox", wd::PostClose},
};

INSTANTIATE_TEST_SUITE_P(AppTest, AppExitTest, ::testing::ValuesIn(WAYS_OUT),
                         [](const ::testing::TestParamInfo<WayOut>& info) { return std::string(info.param.name); });

// The cursor is placed away from the corner before each press; the sensor
// goes silent after the start sequence, so no chunk moves it afterwards.
TEST_F(AppTest, EachPressOfTheCaptureButtonRestartsTheCursor)
{
    const Cursor away = {50, 60}, corner = {0, 0};
    const DWORD startSequenceBytes = 30 * 3 + 2 * 4 + 2; // the register writes, the sync and the start command
    std::vector<Cursor> cursors; // placed, after a start, a stop and a failed start
    bool started = false, stopped = false;
    std::string failure;
    Run([&](HWND main) {
        Connect(main);
        m_sim.SetFaults(0, SIM_FAULT_GO_SILENT, 0, startSequenceBytes);
        cursors.push_back(m_dlg.ProbeCursor(&away));
        started = StartCapture(main);
        cursors.push_back(m_dlg.ProbeCursor());

        m_dlg.ProbeCursor(&away);
        stopped = PressCapture(main, CAPTION_SHOW_IMAGE);
        cursors.push_back(m_dlg.ProbeCursor());

        // Silent from now on: the start fails, but the cursor is reset first.
        m_sim.SetFaults(0, SIM_FAULT_GO_SILENT, 0, 0);
        m_dlg.ProbeCursor(&away);
        wd::Click(main, ID_SHOW_IMAGE);
        const HWND box = wd::WaitForDialog("Catch", 3 * wd::DEFAULT_WAIT_MS);
        cursors.push_back(m_dlg.ProbeCursor());
        failure = wd::ReadMessageBox(box).text;
        wd::AnswerMessageBox(box);
    });
    EXPECT_TRUE(started && stopped);
    EXPECT_EQ("Catch Image Fail", failure);
    EXPECT_EQ(std::vector<Cursor>({away, corner, corner, corner}), cursors);
}

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

// Paints over the picture control, as a window dragged across it would.
void Damage(HWND main)
{
    const HWND picture = GetDlgItem(main, ID_PICTURE);
    const HDC hdc = GetDC(picture);
    RECT rc;
    GetClientRect(picture, &rc);
    const HBRUSH brush = CreateSolidBrush(RGB(255, 0, 255));
    FillRect(hdc, &rc, brush);
    DeleteObject(brush);
    ReleaseDC(picture, hdc);
}

// After Stop the last picture stays: painted over and repainted, and with
// the window minimised and restored, the control shows the still sensor's
// picture, pixel for pixel.
TEST_F(AppTest, TheLastPictureStaysAcrossRepaintsAndMinimising)
{
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_STILL));
    std::vector<BYTE> picture, repainted, restored;
    int strays[2] = {-1, -1};
    bool started = false, shown = false, stopped = false, minimised = false;
    Run([&](HWND main) {
        Connect(main);
        started = StartCapture(main);
        m_sim.GetPicture(0, picture);
        shown = WaitForPicture(main, picture);
        stopped = PressCapture(main, CAPTION_SHOW_IMAGE);

        Damage(main);
        RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        repainted = PictureOnControl(main, strays[0]);

        Damage(main);
        ShowWindow(main, SW_MINIMIZE);
        minimised = IsIconic(main);
        ShowWindow(main, SW_RESTORE);
        // Only what the system invalidated is painted.
        RedrawWindow(main, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
        restored = PictureOnControl(main, strays[1]);
    });
    ASSERT_TRUE(started && stopped);
    ASSERT_EQ(128u * 96, picture.size());
    ASSERT_TRUE(shown) << "the live picture never showed the sensor's";
    EXPECT_TRUE(minimised);
    EXPECT_EQ(0, strays[0]);
    EXPECT_TRUE(picture == repainted) << "after a repaint";
    EXPECT_EQ(0, strays[1]);
    EXPECT_TRUE(picture == restored) << "after minimise and restore";
}

// Chunks the window has not painted when a capture stops, or that wait when
// one starts, are never painted: the new capture paints its own stream from
// the top left. That stream has no marker, and still shows.
TEST_F(AppTest, EachCapturePaintsOnlyItsOwnStreamFromTheTopLeftMarkersOrNot)
{
    std::vector<BYTE> replay(3 * 128 + 10);
    for (size_t i = 0; i < replay.size(); ++i)
        replay[i] = static_cast<BYTE>(1 + i * 5 % 250);
    const std::vector<BYTE> leftover(CHUNK_SIZE, 0x11);
    ASSERT_TRUE(m_sim.SetRate(0, SIM_RATE_FLAT_OUT));
    CChunkQueue& queue = m_dlg.ChunkQueue();
    long queuedAtStop = 0, queuedAfterStop = -1;
    Cursor afterStop;
    bool started = false, stopped = false, restarted = false, shown = false;
    Run([&](HWND main) {
        Connect(main);
        started = StartCapture(main);
        m_dlg.Stall();
        for (int i = 0; i < 1500 && queue.Count() < MAX_QUEUED_CHUNKS; ++i)
            Sleep(10);
        queuedAtStop = queue.Count();
        wd::Click(main, ID_SHOW_IMAGE); // handled before the painting timer's next tick
        m_dlg.EndStall();
        stopped = wd::WaitForControlText(main, ID_SHOW_IMAGE, CAPTION_SHOW_IMAGE);
        Sleep(100); // time for ticks of a painting timer left running
        afterStop = m_dlg.ProbeCursor();
        queuedAfterStop = queue.Count();

        // Chunks waiting when Show Image is pressed: posted while the window
        // is held, so that the press comes before any tick could paint them.
        m_sim.SetReplay(0, replay, FALSE);
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
    EXPECT_TRUE(restarted);
    EXPECT_TRUE(shown) << "the new stream is not shown from the top left";
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

// Posted messages are retrieved before input, and a streaming reader always
// has its next announcement on the way: with the chunk queue full when a
// key is pressed, the window lets the key through before it paints the
// queue, which it then paints whole, in order (the picture ends where the
// chunks put it).
TEST_F(AppTest, AKeyPressedDuringABacklogIsNotHeldBehindIt)
{
    ASSERT_TRUE(m_sim.SetRate(0, SIM_RATE_FLAT_OUT));
    CChunkQueue& queue = m_dlg.ChunkQueue();
    g_queuedAtKey = -1;
    g_pWatchedQueue = &queue;
    const HHOOK hook = SetWindowsHookExA(WH_GETMESSAGE, WatchForKey, nullptr, GetCurrentThreadId());
    long queuedAtKey = 0;
    bool started = false, resumed = false;
    Run([&](HWND main) {
        Connect(main);
        started = StartCapture(main);
        SetForegroundWindow(main);
        m_dlg.Stall();
        for (int i = 0; i < 1500 && queue.Count() < 256; ++i)
            Sleep(10);
        queuedAtKey = queue.Count();
        INPUT key[2] = {};
        key[0].type = key[1].type = INPUT_KEYBOARD;
        key[0].ki.wVk = key[1].ki.wVk = VK_SHIFT;
        key[1].ki.dwFlags = KEYEVENTF_KEYUP;
        SendInput(2, key, sizeof(INPUT));
        m_dlg.EndStall();
        for (int i = 0; i < 1500 && g_queuedAtKey < 0; ++i)
            Sleep(10);
        for (int i = 0; i < 1500 && !resumed; ++i, Sleep(10))
            resumed = queue.Count() < MAX_QUEUED_CHUNKS;
        PressCapture(main, CAPTION_SHOW_IMAGE);
    });
    UnhookWindowsHookEx(hook);
    ASSERT_TRUE(started);
    ASSERT_EQ(MAX_QUEUED_CHUNKS, queuedAtKey) << "the queue should have filled while the window was held";
    ASSERT_GE(g_queuedAtKey, 0) << "the key never arrived";
    // Refilling the queue from empty would take the reader far longer than
    // the key's wait: a key handled after the backlog finds it nearly empty.
    EXPECT_GE(g_queuedAtKey, MAX_QUEUED_CHUNKS - 64) << "the key waited behind the backlog";
    EXPECT_TRUE(resumed) << "the queue was not painted after the key";
}

} // namespace

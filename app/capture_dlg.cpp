#include "app/capture_dlg.h"

#include <cstring>

#include "app/capture_problem.h"
#include "app/config_dlg.h"
#include "device/chunk_notice.h"

namespace {

const char CAPTION_SHOW_IMAGE[] = "Show Image";
const char CAPTION_STOP[] = "Stop";
const char CAPTION_RECORD[] = "Record";
constexpr int CAPTION_BUFFER = 10;

// The picture control's window rectangle, its sunken edge included.
constexpr int PICTURE_LEFT = 10;
constexpr int PICTURE_TOP = 10;
constexpr int PICTURE_WINDOW_WIDTH = 514;
constexpr int PICTURE_WINDOW_HEIGHT = 385;

// While chunks come, the window paints the queue at this pace.
constexpr UINT_PTR CHUNK_PAINT_TIMER = 1;
constexpr UINT CHUNK_PAINT_INTERVAL_MS = USER_TIMER_MINIMUM;

} // namespace

BEGIN_MESSAGE_MAP(CCaptureDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_WM_DESTROY()
    ON_BN_CLICKED(IDC_SHOW_IMAGE, OnShowImage)
    ON_BN_CLICKED(IDC_INITIAL_MODE, OnInitialMode)
    ON_MESSAGE(WM_CHUNK_READY, OnChunkReady)
    ON_MESSAGE(WM_TIMER, OnPaintTimer)
    ON_WM_QUERYENDSESSION()
    ON_WM_ENDSESSION()
    ON_MESSAGE(WM_CAPTURE_PROBLEM, OnCaptureProblem)
END_MESSAGE_MAP()

CCaptureDlg::CCaptureDlg(CWnd* pParent)
    : CDialog(CCaptureDlg::IDD, pParent),
      m_hIcon(AfxGetApp() ? AfxGetApp()->LoadIcon(IDR_MAINFRAME) : nullptr),
      m_settings(DEFAULT_SENSOR_SETTINGS)
{
}

// A modal loop ended by WM_QUIT destroys the window without OnCancel: the
// capture is stopped in order here, before the objects the reader uses go.
CCaptureDlg::~CCaptureDlg()
{
    m_device.StopCapture();
}

BOOL CCaptureDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    PlacePicture();
    m_picture.SubclassDlgItem(IDC_PICTURE, this);
    m_settings = DEFAULT_SENSOR_SETTINGS;
    return TRUE;
}

void CCaptureDlg::PlacePicture()
{
    if (CWnd* picture = GetDlgItem(IDC_PICTURE))
        picture->MoveWindow(PICTURE_LEFT, PICTURE_TOP, PICTURE_WINDOW_WIDTH, PICTURE_WINDOW_HEIGHT, TRUE);
}

// A handshake under a running reader would send stop-stream and the query
// on its handle, and its reads would take the reply: the capture is
// stopped in order first, as Stop does.
void CCaptureDlg::OnOK()
{
    if (m_device.IsCapturing()) {
        StopShowing();
        TellCaptureProblems();
    }
    if (m_device.Connect())
        MessageBox("Connect Succeed", "Connect", MB_ICONINFORMATION | MB_OK);
    else
        MessageBox("Connect Fail", "Connect", MB_ICONERROR | MB_OK);
}

void CCaptureDlg::OnCancel()
{
    m_device.StopCapture();
    TellCaptureProblems(); // the last writes may have failed
    CDialog::OnCancel();
}

void CCaptureDlg::OnShowImage()
{
    CWnd* button = GetDlgItem(IDC_SHOW_IMAGE);
    if (!button)
        return;
    char caption[CAPTION_BUFFER] = {};
    button->GetWindowText(caption, CAPTION_BUFFER);

    if (std::strcmp(caption, CAPTION_STOP) == 0) {
        StopShowing();
        TellCaptureProblems();
        return;
    }
    StartShowing(button);
}

// Reads finished, every byte read in the file, the file closed and the
// stream stopped, before the button says so. The chunks the reader handed
// over up to its end are dropped, not painted after the next start; the
// last picture stays on the screen.
void CCaptureDlg::StopShowing(DWORD drainMs)
{
    m_device.StopCapture(drainMs);
    KillTimer(m_hWnd, CHUNK_PAINT_TIMER);
    m_picture.Restart(m_hWnd);
    if (CWnd* button = GetDlgItem(IDC_SHOW_IMAGE))
        button->SetWindowText(CAPTION_SHOW_IMAGE);
}

// Each start paints its stream from the top-left corner. The reader is
// made ready first, so that its reads follow the start command at once; a
// start sequence that fails ends it untouched. A reader that cannot be
// made is told (its problem is posted) and the button stays.
void CCaptureDlg::StartShowing(CWnd* button)
{
    m_picture.Restart(m_hWnd);
    m_device.PrepareCapture();
    if (!m_device.StartImaging(m_settings)) {
        m_device.StopCapture();
        MessageBox("Catch Image Fail", "Catch", MB_ICONERROR | MB_OK);
        return;
    }
    m_device.SetChunkQueue(&m_picture.Queue());
    if (m_device.StartCapture())
        button->SetWindowText(CAPTION_STOP);
}

void CCaptureDlg::OnInitialMode()
{
    CConfigDlg dlg;
    if (dlg.DoModal() == IDOK)
        m_settings = dlg.GetSettings();
}

// The message only announces the queue; the chunks come from the reader's
// queue in this process, so a message posted from elsewhere can at most
// start the painting timer early.
//
// The reader announces a queue that was idle; from then on the window
// paints whatever has queued at each tick of a timer, and the reader posts
// nothing more until a tick finds the queue empty. Each system call is a
// round trip to the server that the reader and the driver need too, so the
// window's share stays at a few calls per tick however fast chunks come.
// Timer messages come after input: a stream never holds a key or a click.
// While no capture runs nothing can come, and nothing is started.
LRESULT CCaptureDlg::OnChunkReady(WPARAM, LPARAM)
{
    if (m_device.IsCapturing())
        SetTimer(m_hWnd, CHUNK_PAINT_TIMER, CHUNK_PAINT_INTERVAL_MS, nullptr);
    return 1;
}

// The timer stops at a tick with nothing to paint; the next chunk is then
// announced again.
LRESULT CCaptureDlg::OnPaintTimer(WPARAM wParam, LPARAM)
{
    if (wParam != CHUNK_PAINT_TIMER)
        return Default();
    if (!m_picture.PaintQueuedChunks(GetTickCount64()))
        KillTimer(m_hWnd, CHUNK_PAINT_TIMER);
    return 0;
}

void CCaptureDlg::OnPaint()
{
    if (!IsIconic()) {
        Default();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);

    const int cxIcon = GetSystemMetrics(SM_CXICON);
    const int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CCaptureDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}

void CCaptureDlg::OnDestroy()
{
    // A reader still running hands chunks to the picture's queue, which
    // goes with this object.
    StopShowing();
    m_picture.UnsubclassWindow();
    CDialog::OnDestroy();
}

BOOL CCaptureDlg::OnQueryEndSession()
{
    return TRUE;
}

// The process may be ended as soon as this returns, and Windows ends one
// that takes more than about 5 s: the capture is finished in order first,
// the stream stopped, and the file given what the disk takes by then.
void CCaptureDlg::OnEndSession(BOOL bEnding)
{
    if (bEnding)
        StopShowing(END_SESSION_DRAIN_MS);
}

// The message only says there is news; the problems come from the device
// link, so a message posted from elsewhere shows nothing.
LRESULT CCaptureDlg::OnCaptureProblem(WPARAM, LPARAM)
{
    TellCaptureProblems();
    return 0;
}

// One box per problem, in order. A problem reported while a box is open
// waits for the loop below instead of opening a box over the box.
void CCaptureDlg::TellCaptureProblems()
{
    if (m_bTellingProblems)
        return;
    m_bTellingProblems = TRUE;
    CaptureProblem problem;
    while (m_device.TakeCaptureProblem(problem))
        MessageBox(DescribeCaptureProblem(problem).c_str(), CAPTION_RECORD, MB_ICONERROR | MB_OK);
    m_bTellingProblems = FALSE;
}

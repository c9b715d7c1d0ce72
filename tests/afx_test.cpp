// Tests of the MFC-shaped layer (afx/) and of the dialog templates (res/):
// dialogs run modally under Wine's null graphics driver, driven by messages
// they post to themselves from OnInitDialog. What the real main window and
// settings dialog do with the layer is tested in app_test.
#include "afx/afxwin.h"
#include "res/resource.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

const UINT WM_PROBE = WM_APP + 1;
const UINT ID_RUN_NESTED = 1001;

class CTestApp : public CWinApp {
public:
    afx_msg void OnHelpCommand() { ++m_nHelp; }
    int m_nHelp = 0;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CTestApp, CWinApp)
    ON_COMMAND(ID_HELP, OnHelpCommand)
END_MESSAGE_MAP()

CTestApp theApp;

// A dialog that records what reaches it; m_onInit scripts each test.
class CProbeDlg : public CDialog {
public:
    explicit CProbeDlg(UINT nIDTemplate = IDD_MAIN) : CDialog(nIDTemplate) {}

    BOOL OnInitDialog() override { CDialog::OnInitDialog(); return m_onInit ? m_onInit(*this) : TRUE; }
    void OnOK() override { ++m_nOK; CDialog::OnOK(); }
    void OnCancel() override { ++m_nCancel; CDialog::OnCancel(); }

    afx_msg void OnShowImage() { ++m_nShowImage; }
    afx_msg LRESULT OnProbe(WPARAM wParam, LPARAM lParam) { return static_cast<LRESULT>(wParam * 10 + lParam); }
    afx_msg HCURSOR OnQueryDragIcon() { return ::LoadCursorA(nullptr, IDC_ARROW); }
    afx_msg void OnPaint() { ++m_nPaint; Default(); }
    afx_msg void OnDestroy() { ++m_nDestroy; CWnd::OnDestroy(); }
    afx_msg void OnRunNested() { if (m_onNested) m_onNested(*this); }

    std::function<BOOL(CProbeDlg&)> m_onInit;
    std::function<void(CProbeDlg&)> m_onNested;
    int m_nOK = 0, m_nCancel = 0, m_nShowImage = 0, m_nPaint = 0, m_nDestroy = 0;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeDlg, CDialog)
    ON_BN_CLICKED(IDC_SHOW_IMAGE, OnShowImage)
    ON_COMMAND(ID_RUN_NESTED, OnRunNested)
    ON_MESSAGE(WM_PROBE, OnProbe)
    ON_WM_QUERYDRAGICON()
    ON_WM_PAINT()
    ON_WM_DESTROY()
END_MESSAGE_MAP()

void PostCommand(CWnd& wnd, UINT nID)
{
    wnd.PostMessage(WM_COMMAND, MAKEWPARAM(nID, BN_CLICKED),
        reinterpret_cast<LPARAM>(::GetDlgItem(wnd.m_hWnd, nID)));
}

// Subclasses a dialog to read its DWLP_USER after WM_NCDESTROY, when the
// dialog procedure has had its last word but the handle is still valid.
WNDPROC g_pfnDialogWndProc = nullptr;
LONG_PTR g_userAfterNcDestroy = -1;

LRESULT CALLBACK WatchNcDestroy(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT lResult = ::CallWindowProcA(g_pfnDialogWndProc, hWnd, message, wParam, lParam);
    if (message == WM_NCDESTROY)
        g_userAfterNcDestroy = ::GetWindowLongPtrA(hWnd, DWLP_USER);
    return lResult;
}

} // namespace

// Commands the dialog does not handle go on to the application; a handler
// that calls Default() leaves the painting to the dialog manager, which must
// then run and validate the window.
TEST(AfxMessageMap, DispatchesToDialogThenApplication)
{
    theApp.m_nHelp = 0;
    CProbeDlg dlg;
    LRESULT probeResult = 0;
    HCURSOR dragIcon = nullptr;
    BOOL bStillInvalid = TRUE;
    dlg.m_onInit = [&](CProbeDlg& d) {
        probeResult = d.SendMessage(WM_PROBE, 3, 4);
        dragIcon = reinterpret_cast<HCURSOR>(d.SendMessage(WM_QUERYDRAGICON));
        d.ShowWindow(SW_SHOW);
        d.Invalidate();
        // The system may invalidate a freshly shown window again: allow a few
        // rounds; a dialog that never validates fails them all.
        for (int round = 0; round < 3 && bStillInvalid; ++round) {
            d.UpdateWindow();
            bStillInvalid = ::GetUpdateRect(d.m_hWnd, nullptr, FALSE);
        }
        d.PostMessage(WM_COMMAND, ID_HELP, 0); // as from a menu: code 0, no control
        PostCommand(d, IDCANCEL);
        return TRUE;
    };
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    EXPECT_EQ(34, probeResult);
    EXPECT_EQ(::LoadCursorA(nullptr, IDC_ARROW), dragIcon); // returned directly, not via DWLP_MSGRESULT
    EXPECT_GE(dlg.m_nPaint, 1);
    EXPECT_FALSE(bStillInvalid);
    EXPECT_EQ(1, theApp.m_nHelp);
    EXPECT_EQ(1, dlg.m_nCancel);
}

// Every way of saying OK or Cancel reaches the virtual functions; Enter
// clicks the focused push button, and means OK only on the default one.
TEST(AfxDialog, OkAndCancelPathsReachTheVirtuals)
{
    // message goes to the control given the focus (nFocusID), else to the dialog.
    struct Case { const char* name; int nFocusID; UINT message; WPARAM wParam; INT_PTR nExpected; int nShowImage; };
    const Case cases[] = {
        { "OK button", 0, BM_CLICK, 0, IDOK, 0 },
        { "Enter on default button", IDOK, WM_KEYDOWN, VK_RETURN, IDOK, 0 },
        { "Escape", IDOK, WM_KEYDOWN, VK_ESCAPE, IDCANCEL, 0 },
        { "close box", 0, WM_CLOSE, 0, IDCANCEL, 0 },
        { "Enter on another button", IDC_SHOW_IMAGE, WM_KEYDOWN, VK_RETURN, IDCANCEL, 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProbeDlg dlg;
        dlg.m_onInit = [&](CProbeDlg& d) {
            HWND hTarget = c.message == BM_CLICK ? ::GetDlgItem(d.m_hWnd, IDOK) : d.m_hWnd;
            if (c.nFocusID != 0) {
                // As Tab or a click would: the dialog manager also moves the default.
                hTarget = ::GetDlgItem(d.m_hWnd, c.nFocusID);
                d.SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(hTarget), TRUE);
            }
            ::PostMessageA(hTarget, c.message, c.wParam, 0);
            if (c.nShowImage != 0)
                PostCommand(d, IDCANCEL); // the click did not end the dialog
            return c.nFocusID == 0;
        };
        EXPECT_EQ(c.nExpected, dlg.DoModal());
        EXPECT_EQ(c.nExpected == IDOK ? 1 : 0, dlg.m_nOK);
        EXPECT_EQ(c.nExpected == IDCANCEL ? 1 : 0, dlg.m_nCancel);
        EXPECT_EQ(c.nShowImage, dlg.m_nShowImage);
    }
}

// A dialog opened with no parent from the main window is owned by it, and
// so is modal over it; the main window itself has no owner. Once destroyed,
// the main window leaves no pointer behind: not in DWLP_USER, not in its
// wrappers, not in the application.
TEST(AfxDialog, MainWindowOwnsParentlessDialogsAndIsForgottenWhenDestroyed)
{
    CProbeDlg mainDlg;
    HWND hMain = nullptr, hMainOwner = reinterpret_cast<HWND>(1), hNestedOwner = nullptr;
    BOOL bMainEnabledDuringNested = TRUE;
    CWnd* pItem = nullptr;
    mainDlg.m_onInit = [&](CProbeDlg& d) {
        theApp.m_pMainWnd = &d;
        hMain = d.m_hWnd;
        hMainOwner = ::GetWindow(d.m_hWnd, GW_OWNER);
        pItem = d.GetDlgItem(IDC_SHOW_IMAGE);
        g_userAfterNcDestroy = -1;
        g_pfnDialogWndProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrA(
            d.m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WatchNcDestroy)));
        PostCommand(d, ID_RUN_NESTED);
        return TRUE;
    };
    mainDlg.m_onNested = [&](CProbeDlg& d) {
        CProbeDlg nested(IDD_CONFIG);
        nested.m_onInit = [&](CProbeDlg& n) {
            hNestedOwner = ::GetWindow(n.m_hWnd, GW_OWNER);
            bMainEnabledDuringNested = ::IsWindowEnabled(d.m_hWnd);
            PostCommand(n, IDCANCEL);
            return TRUE;
        };
        EXPECT_EQ(IDCANCEL, nested.DoModal());
        PostCommand(d, IDCANCEL);
    };
    EXPECT_EQ(IDCANCEL, mainDlg.DoModal());
    EXPECT_EQ(nullptr, hMainOwner);
    EXPECT_EQ(hMain, hNestedOwner);
    EXPECT_FALSE(bMainEnabledDuringNested);
    EXPECT_EQ(0, g_userAfterNcDestroy);
    EXPECT_EQ(1, mainDlg.m_nDestroy);
    EXPECT_EQ(nullptr, mainDlg.m_hWnd);
    ASSERT_NE(nullptr, pItem);
    EXPECT_EQ(nullptr, pItem->m_hWnd);
    EXPECT_EQ(nullptr, AfxGetMainWnd());

    // A main window object that dies without a window clears it as well.
    auto pDlg = std::make_unique<CDialog>(IDD_MAIN);
    theApp.m_pMainWnd = pDlg.get();
    pDlg.reset();
    EXPECT_EQ(nullptr, AfxGetMainWnd());
}

// ---------------------------------------------------------------------------
// Dialog templates, as the dialog manager builds them.

namespace {

// One row per window in creation order, the dialog itself first (caption and
// client size). pszText nullptr marks a bitmap static, whose text is the
// bitmap's number; dwStyle holds exactly the set bits of the class's type and
// KEY_STYLES; dwExStyle bits must be set; position and size are in dialog
// units, cx 0 for "sized by its content".
struct ExpectedControl { int nID; const char *pszClass, *pszText; DWORD dwStyle, dwExStyle; int x, y, cx, cy; };

struct ExpectedTemplate { UINT nID; const wchar_t* pszFont; int nPoints; std::vector<ExpectedControl> windows; };

const DWORD KEY_STYLES = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_TABSTOP | WS_GROUP
    | DS_MODALFRAME | SS_SUNKEN | ES_NUMBER | ES_AUTOHSCROLL; // DS_MODALFRAME is ES_AUTOHSCROLL
const DWORD BUTTON = WS_VISIBLE | WS_TABSTOP;
const DWORD EDIT = ES_LEFT | ES_NUMBER | ES_AUTOHSCROLL | WS_VISIBLE | WS_TABSTOP;
const DWORD LABEL = SS_LEFT | WS_VISIBLE | WS_GROUP;
const DWORD DIALOG = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME; // no minimize or maximize box

const ExpectedTemplate TEMPLATES[] = {
    { IDD_MAIN, L"\x5B8B\x4F53", 9, { // SimSun, in Chinese
        { 0, "#32770", "Orlavent", DIALOG | WS_VISIBLE, WS_EX_APPWINDOW, 0, 0, 436, 268 },
        { IDOK, "Button", "Device Connect", BS_DEFPUSHBUTTON | BUTTON, WS_EX_CLIENTEDGE, 355, 13, 75, 29 },
        { IDCANCEL, "Button", "Exit", BS_PUSHBUTTON | BUTTON, WS_EX_CLIENTEDGE, 355, 87, 75, 29 },
        { IDC_PICTURE, "Static", "", SS_ENHMETAFILE | SS_SUNKEN | WS_VISIBLE, 0, 8, 9, 316, 222 },
        { IDC_INITIAL_MODE, "Button", "Initial Mode", BS_PUSHBUTTON | WS_TABSTOP, WS_EX_CLIENTEDGE, 355, 127, 75, 29 },
        { IDC_SHOW_IMAGE, "Button", "Show Image", BS_PUSHBUTTON | BUTTON, WS_EX_CLIENTEDGE, 355, 51, 75, 29 },
        { IDC_STATIC, "Static", nullptr, SS_BITMAP, 0, 351, 188, 0, 0 }, // the logo: sized by its bitmap
    } },
    { IDD_CONFIG, L"MS Sans Serif", 8, {
        { 0, "#32770", "Config", DIALOG, 0, 0, 0, 157, 173 },
        { IDOK, "Button", "OK", BS_DEFPUSHBUTTON | BUTTON, 0, 12, 144, 50, 15 },
        { IDCANCEL, "Button", "Cancel", BS_PUSHBUTTON | BUTTON, 0, 89, 144, 50, 15 },
        { IDC_GAIN1, "Edit", "", EDIT, 0, 58, 8, 75, 15 },
        { IDC_STATIC, "Static", "Gain1", LABEL, 0, 7, 8, 38, 15 },
        { IDC_GAIN2, "Edit", "", EDIT, 0, 58, 28, 75, 15 },
        { IDC_STATIC, "Static", "Gain2", LABEL, 0, 7, 28, 38, 15 },
        { IDC_LPF, "Edit", "", EDIT, 0, 58, 49, 76, 15 },
        { IDC_STATIC, "Static", "Lpf", LABEL, 0, 7, 49, 38, 15 },
        { IDC_NY, "Edit", "", EDIT, 0, 58, 70, 76, 15 },
        { IDC_STATIC, "Static", "NY", LABEL, 0, 7, 70, 38, 15 },
        { IDC_NP_H, "Edit", "", EDIT, 0, 58, 92, 76, 15 },
        { IDC_STATIC, "Static", "Np_H", LABEL, 0, 7, 92, 38, 15 },
        { IDC_NP_L, "Edit", "", EDIT, 0, 58, 113, 76, 15 },
        { IDC_STATIC, "Static", "Np_L", LABEL, 0, 7, 113, 38, 15 },
    } },
};

DWORD TypeMask(const std::string& className)
{
    return className == "Static" ? SS_TYPEMASK : className == "Button" ? BS_TYPEMASK
        : className == "Edit" ? ES_CENTER | ES_RIGHT : 0;
}

void ExpectWindow(HWND hDlg, HWND hWnd, const ExpectedControl& want)
{
    SCOPED_TRACE(std::string(want.pszClass) + " " + std::to_string(want.nID));
    EXPECT_EQ(want.nID & 0xFFFF, ::GetDlgCtrlID(hWnd) & 0xFFFF); // classic templates hold 16-bit ids
    char szText[256] = {};
    ::GetClassNameA(hWnd, szText, sizeof(szText));
    EXPECT_EQ(0, lstrcmpiA(want.pszClass, szText)) << szText;
    ::GetWindowTextA(hWnd, szText, sizeof(szText));
    if (want.pszText != nullptr)
        EXPECT_STREQ(want.pszText, szText);
    else
        EXPECT_NE(0, ::SendMessageA(hWnd, STM_GETIMAGE, IMAGE_BITMAP, 0));

    const DWORD dwMask = KEY_STYLES | TypeMask(want.pszClass);
    EXPECT_EQ(want.dwStyle, static_cast<DWORD>(::GetWindowLongPtrA(hWnd, GWL_STYLE)) & dwMask);
    EXPECT_EQ(want.dwExStyle, static_cast<DWORD>(::GetWindowLongPtrA(hWnd, GWL_EXSTYLE)) & want.dwExStyle);

    // The dialog manager converts position and size one by one, so right
    // and bottom hold the size. The dialog row compares its client area.
    RECT rcWant = { want.x, want.y, want.cx, want.cy }, rc;
    ::MapDialogRect(hDlg, &rcWant);
    if (hWnd == hDlg) {
        ::GetClientRect(hDlg, &rc);
    } else {
        ::GetWindowRect(hWnd, &rc);
        ::MapWindowPoints(nullptr, hDlg, reinterpret_cast<LPPOINT>(&rc), 2);
    }
    std::vector<LONG> wantBox = { rcWant.left, rcWant.top, rcWant.right, rcWant.bottom };
    std::vector<LONG> box = { rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top };
    if (want.cx == 0) {
        wantBox.resize(2);
        box.resize(2);
    }
    EXPECT_EQ(wantBox, box) << "x, y, cx, cy";
}

} // namespace

TEST(Resources, DialogTemplatesBuildTheirWindows)
{
    for (const ExpectedTemplate& t : TEMPLATES) {
        SCOPED_TRACE(t.nID);
        const HWND hDlg = ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(t.nID), nullptr, nullptr, 0);
        ASSERT_NE(nullptr, hDlg);

        LOGFONTW lf = {};
        ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageA(hDlg, WM_GETFONT, 0, 0)), sizeof(lf), &lf);
        EXPECT_EQ(std::wstring(t.pszFont), lf.lfFaceName);
        HDC hDC = ::GetDC(hDlg);
        EXPECT_EQ(-::MulDiv(t.nPoints, ::GetDeviceCaps(hDC, LOGPIXELSY), 72), lf.lfHeight);
        ::ReleaseDC(hDlg, hDC);

        size_t nIndex = 0; // the dialog, then its controls
        for (HWND hWnd = hDlg; hWnd != nullptr; ++nIndex,
             hWnd = hWnd == hDlg ? ::GetWindow(hDlg, GW_CHILD) : ::GetWindow(hWnd, GW_HWNDNEXT)) {
            if (nIndex < t.windows.size())
                ExpectWindow(hDlg, hWnd, t.windows[nIndex]);
        }
        EXPECT_EQ(t.windows.size(), nIndex);
        ::DestroyWindow(hDlg);
    }
    EXPECT_NE(nullptr, theApp.LoadIcon(IDR_MAINFRAME));
}

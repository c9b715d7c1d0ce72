// Tests of the MFC-shaped layer (afx/) and of the dialog templates (res/):
// dialogs run modally under Wine's null graphics driver, driven by messages
// they post to themselves from OnInitDialog.
#include "afx/afxwin.h"
#include "res/resource.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

const UINT WM_PROBE = WM_APP + 1;
const LRESULT PROBE_RESULT = 1;
const UINT ID_RUN_NESTED = 1001;

class CTestApp : public CWinApp {
public:
    BOOL InitInstance() override { return m_bInitResult; }
    afx_msg void OnHelpCommand() { ++m_nHelp; }

    BOOL m_bInitResult = FALSE;
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

    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        m_hWndSeen = m_hWnd;
        return m_onInit ? m_onInit(*this) : TRUE;
    }
    void OnOK() override { ++m_nOK; CDialog::OnOK(); }
    void OnCancel() override { ++m_nCancel; CDialog::OnCancel(); }

    afx_msg void OnShowImage() { ++m_nShowImage; }
    afx_msg LRESULT OnProbe(WPARAM wParam, LPARAM lParam)
    {
        m_probeArgs.push_back(static_cast<int>(wParam + lParam));
        return PROBE_RESULT;
    }
    afx_msg HCURSOR OnQueryDragIcon() { return ::LoadCursorA(nullptr, IDC_ARROW); }
    afx_msg void OnPaint()
    {
        ++m_nPaint;
        if (m_bPaintSelf) {
            CPaintDC dc(this);
        } else {
            Default();
        }
    }
    afx_msg void OnDestroy() { ++m_nDestroy; CWnd::OnDestroy(); }
    afx_msg void OnRunNested() { if (m_onNested) m_onNested(*this); }

    std::function<BOOL(CProbeDlg&)> m_onInit;
    std::function<void(CProbeDlg&)> m_onNested;
    HWND m_hWndSeen = nullptr;
    int m_nOK = 0, m_nCancel = 0, m_nShowImage = 0, m_nPaint = 0, m_nDestroy = 0;
    BOOL m_bPaintSelf = FALSE;
    std::vector<int> m_probeArgs;

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

} // namespace

// Never instantiated: proves that a base-class handler compiles in a map.
class CAfxTestBaseHandlerApp : public CWinApp {
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CAfxTestBaseHandlerApp, CWinApp)
    ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

namespace {

void PostCommand(CWnd& wnd, UINT nID)
{
    wnd.PostMessage(WM_COMMAND, MAKEWPARAM(nID, BN_CLICKED),
        reinterpret_cast<LPARAM>(::GetDlgItem(wnd.m_hWnd, nID)));
}

} // namespace

TEST(AfxMessageMap, DispatchesToDialogThenApplication)
{
    theApp.m_nHelp = 0;
    CProbeDlg dlg;
    LRESULT probeResult = 0;
    HCURSOR dragIcon = nullptr;
    dlg.m_onInit = [&](CProbeDlg& d) {
        probeResult = d.SendMessage(WM_PROBE, 3, 4);
        dragIcon = reinterpret_cast<HCURSOR>(d.SendMessage(WM_QUERYDRAGICON));
        PostCommand(d, IDC_SHOW_IMAGE);
        d.PostMessage(WM_COMMAND, ID_HELP, 0); // as from a menu: code 0, no control
        PostCommand(d, IDCANCEL);
        return TRUE;
    };
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    EXPECT_EQ(PROBE_RESULT, probeResult);
    EXPECT_EQ(std::vector<int>{7}, dlg.m_probeArgs);
    EXPECT_EQ(::LoadCursorA(nullptr, IDC_ARROW), dragIcon); // returned directly, not via DWLP_MSGRESULT
    EXPECT_EQ(1, dlg.m_nShowImage);
    EXPECT_EQ(1, theApp.m_nHelp);
    EXPECT_EQ(1, dlg.m_nCancel);
    EXPECT_EQ(0, dlg.m_nOK);
}

// Every way of saying OK or Cancel reaches the virtual functions; Enter
// clicks the focused push button, and means OK only on the default one.
TEST(AfxDialog, OkAndCancelPathsReachTheVirtuals)
{
    struct Case {
        const char* name;
        int nFocusID;     // control given the focus, 0 for the default
        UINT message;     // posted to the focused control (or the dialog)
        WPARAM wParam;
        INT_PTR nExpected;
        int nShowImage;
    };
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
            HWND hTarget = d.m_hWnd;
            if (c.nFocusID != 0) {
                // As Tab or a click would: the dialog manager also moves the default.
                hTarget = ::GetDlgItem(d.m_hWnd, c.nFocusID);
                d.SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(hTarget), TRUE);
            } else if (c.message == BM_CLICK) {
                hTarget = ::GetDlgItem(d.m_hWnd, IDOK);
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

TEST(AfxDialog, PaintEitherPaintsOrLeavesItToTheDefault)
{
    for (BOOL bPaintSelf : { FALSE, TRUE }) {
        SCOPED_TRACE(bPaintSelf ? "CPaintDC" : "Default()");
        CProbeDlg dlg;
        dlg.m_bPaintSelf = bPaintSelf;
        BOOL bStillInvalid = TRUE;
        dlg.m_onInit = [&](CProbeDlg& d) {
            d.ShowWindow(SW_SHOW);
            d.Invalidate();
            // Whoever painted must have validated the window. The system may
            // invalidate it again meanwhile (showing, activation), so allow a
            // few rounds; a handler that never validates fails them all.
            for (int round = 0; round < 3 && bStillInvalid; ++round) {
                d.UpdateWindow();
                bStillInvalid = ::GetUpdateRect(d.m_hWnd, nullptr, FALSE);
            }
            PostCommand(d, IDCANCEL);
            return TRUE;
        };
        dlg.DoModal();
        EXPECT_GE(dlg.m_nPaint, 1);
        EXPECT_FALSE(bStillInvalid);
    }
}

namespace {

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

TEST(AfxDialog, ForgetsItsWindowWhenDestroyed)
{
    CProbeDlg dlg;
    CWnd* pItem = nullptr;
    LONG_PTR userDuringInit = 0;
    dlg.m_onInit = [&](CProbeDlg& d) {
        theApp.m_pMainWnd = &d;
        userDuringInit = ::GetWindowLongPtrA(d.m_hWnd, DWLP_USER);
        pItem = d.GetDlgItem(IDC_SHOW_IMAGE);
        EXPECT_EQ(pItem, d.GetDlgItem(IDC_SHOW_IMAGE)); // one wrapper per control
        EXPECT_EQ(::GetDlgItem(d.m_hWnd, IDC_SHOW_IMAGE), pItem->m_hWnd);
        EXPECT_EQ(nullptr, d.GetDlgItem(4711));
        g_userAfterNcDestroy = -1;
        g_pfnDialogWndProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrA(
            d.m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WatchNcDestroy)));
        PostCommand(d, IDCANCEL);
        return TRUE;
    };
    dlg.DoModal();
    EXPECT_EQ(reinterpret_cast<LONG_PTR>(&dlg), userDuringInit);
    EXPECT_EQ(0, g_userAfterNcDestroy);
    EXPECT_EQ(1, dlg.m_nDestroy);
    EXPECT_EQ(nullptr, dlg.m_hWnd);
    EXPECT_EQ(nullptr, pItem->m_hWnd);
    EXPECT_EQ(nullptr, AfxGetMainWnd());

    // A main window object that dies without a window clears it as well.
    auto pDlg = std::make_unique<CDialog>(IDD_MAIN);
    theApp.m_pMainWnd = pDlg.get();
    pDlg.reset();
    EXPECT_EQ(nullptr, AfxGetMainWnd());
}

// A dialog opened with no parent from the main window is owned by it, and
// so is modal over it; the main window itself has no owner.
TEST(AfxDialog, DialogWithoutParentIsOwnedByTheMainWindow)
{
    CProbeDlg mainDlg;
    HWND hMainOwner = reinterpret_cast<HWND>(1);
    HWND hNestedOwner = nullptr;
    BOOL bMainEnabledDuringNested = TRUE;
    mainDlg.m_onInit = [&](CProbeDlg& d) {
        theApp.m_pMainWnd = &d;
        hMainOwner = ::GetWindow(d.m_hWnd, GW_OWNER);
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
    EXPECT_EQ(mainDlg.m_hWndSeen, hNestedOwner);
    EXPECT_FALSE(bMainEnabledDuringNested);
    EXPECT_EQ(nullptr, AfxGetMainWnd());
}

TEST(AfxWinMain, RunsTheMessageLoopOnlyAfterASuccessfulInitInstance)
{
    const int nQuitCode = 5;
    theApp.m_bInitResult = TRUE;
    ::PostQuitMessage(nQuitCode);
    EXPECT_EQ(nQuitCode, AfxWinMain(::GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOW));

    theApp.m_bInitResult = FALSE;
    ::PostQuitMessage(nQuitCode);
    AfxWinMain(::GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOW);
    MSG msg;
    EXPECT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "Run consumed it";
}

// ---------------------------------------------------------------------------
// Dialog templates, as the dialog manager builds them.

namespace {

struct ControlSpec {
    int nID;
    const char* pszClass;
    const char* pszText;
    DWORD dwType;      // BS_/SS_ type, compared under its type mask
    DWORD dwStyle;     // further style bits that must be set
    BOOL bVisible;
    DWORD dwExStyle;   // extended style bits that must be set
    RECT rcDialogUnits; // left, top, right, bottom
};

const DWORD EDIT = ES_NUMBER | ES_AUTOHSCROLL | WS_TABSTOP;

// Position and size in dialog units; the dialog manager converts them
// one by one, so right and bottom hold the size.
RECT Dlu(int x, int y, int cx, int cy)
{
    return RECT{ x, y, cx, cy };
}

const ControlSpec MAIN_CONTROLS[] = {
    { IDOK, "Button", "Device Connect", BS_DEFPUSHBUTTON, WS_TABSTOP, TRUE, WS_EX_CLIENTEDGE, Dlu(355, 13, 75, 29) },
    { IDCANCEL, "Button", "Exit", BS_PUSHBUTTON, WS_TABSTOP, TRUE, WS_EX_CLIENTEDGE, Dlu(355, 87, 75, 29) },
    { IDC_PICTURE, "Static", "", SS_ENHMETAFILE, SS_SUNKEN, TRUE, 0, Dlu(8, 9, 316, 222) },
    { IDC_INITIAL_MODE, "Button", "Initial Mode", BS_PUSHBUTTON, WS_TABSTOP, FALSE, WS_EX_CLIENTEDGE, Dlu(355, 127, 75, 29) },
    { IDC_SHOW_IMAGE, "Button", "Show Image", BS_PUSHBUTTON, WS_TABSTOP, TRUE, WS_EX_CLIENTEDGE, Dlu(355, 51, 75, 29) },
    { IDC_STATIC, "Static", "", SS_BITMAP, 0, FALSE, 0, Dlu(351, 188, 80, 44) },
};

const ControlSpec CONFIG_CONTROLS[] = {
    { IDOK, "Button", "OK", BS_DEFPUSHBUTTON, WS_TABSTOP, TRUE, 0, Dlu(12, 144, 50, 15) },
    { IDCANCEL, "Button", "Cancel", BS_PUSHBUTTON, WS_TABSTOP, TRUE, 0, Dlu(89, 144, 50, 15) },
    { IDC_GAIN1, "Edit", "", ES_LEFT, EDIT, TRUE, 0, Dlu(58, 8, 75, 15) },
    { IDC_STATIC, "Static", "Gain1", SS_LEFT, WS_GROUP, TRUE, 0, Dlu(7, 8, 38, 15) },
    { IDC_GAIN2, "Edit", "", ES_LEFT, EDIT, TRUE, 0, Dlu(58, 28, 75, 15) },
    { IDC_STATIC, "Static", "Gain2", SS_LEFT, WS_GROUP, TRUE, 0, Dlu(7, 28, 38, 15) },
    { IDC_LPF, "Edit", "", ES_LEFT, EDIT, TRUE, 0, Dlu(58, 49, 76, 15) },
    { IDC_STATIC, "Static", "Lpf", SS_LEFT, WS_GROUP, TRUE, 0, Dlu(7, 49, 38, 15) },
    { IDC_NY, "Edit", "", ES_LEFT, EDIT, TRUE, 0, Dlu(58, 70, 76, 15) },
    { IDC_STATIC, "Static", "NY", SS_LEFT, WS_GROUP, TRUE, 0, Dlu(7, 70, 38, 15) },
    { IDC_NP_H, "Edit", "", ES_LEFT, EDIT, TRUE, 0, Dlu(58, 92, 76, 15) },
    { IDC_STATIC, "Static", "Np_H", SS_LEFT, WS_GROUP, TRUE, 0, Dlu(7, 92, 38, 15) },
    { IDC_NP_L, "Edit", "", ES_LEFT, EDIT, TRUE, 0, Dlu(58, 113, 76, 15) },
    { IDC_STATIC, "Static", "Np_L", SS_LEFT, WS_GROUP, TRUE, 0, Dlu(7, 113, 38, 15) },
};

INT_PTR CALLBACK PassiveDialogProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

// A dialog made from a template without the layer, destroyed at scope end.
class CTemplateDialog {
public:
    explicit CTemplateDialog(UINT nID)
        : m_hWnd(::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(nID),
              nullptr, &PassiveDialogProc, 0))
    {
    }
    ~CTemplateDialog() { if (m_hWnd) ::DestroyWindow(m_hWnd); }
    CTemplateDialog(const CTemplateDialog&) = delete;
    CTemplateDialog& operator=(const CTemplateDialog&) = delete;

    HWND m_hWnd;
};

std::string WindowText(HWND hWnd)
{
    char szText[256] = {};
    ::GetWindowTextA(hWnd, szText, sizeof(szText));
    return szText;
}

std::wstring DialogFontFace(HWND hDlg, LONG* plHeight)
{
    LOGFONTW lf = {};
    HFONT hFont = reinterpret_cast<HFONT>(::SendMessageA(hDlg, WM_GETFONT, 0, 0));
    ::GetObjectW(hFont, sizeof(lf), &lf);
    *plHeight = lf.lfHeight;
    return lf.lfFaceName;
}

LONG PointsToLogicalHeight(HWND hWnd, int nPoints)
{
    HDC hDC = ::GetDC(hWnd);
    const LONG lHeight = -::MulDiv(nPoints, ::GetDeviceCaps(hDC, LOGPIXELSY), 72);
    ::ReleaseDC(hWnd, hDC);
    return lHeight;
}

DWORD TypeMask(const std::string& className)
{
    return className == "Static" ? SS_TYPEMASK : className == "Button" ? BS_TYPEMASK : ES_CENTER | ES_RIGHT;
}

void ExpectControl(HWND hDlg, HWND hCtrl, const ControlSpec& spec)
{
    SCOPED_TRACE(std::string(spec.pszClass) + " \"" + spec.pszText + "\" " + std::to_string(spec.nID));
    EXPECT_EQ(spec.nID & 0xFFFF, ::GetDlgCtrlID(hCtrl) & 0xFFFF); // classic templates hold 16-bit ids
    char szClass[64] = {};
    ::GetClassNameA(hCtrl, szClass, sizeof(szClass));
    EXPECT_EQ(0, lstrcmpiA(spec.pszClass, szClass)) << szClass;
    if (spec.dwType != SS_BITMAP) { // its text is the bitmap's resource number
        EXPECT_EQ(spec.pszText, WindowText(hCtrl));
    }

    const DWORD dwStyle = static_cast<DWORD>(::GetWindowLongPtrA(hCtrl, GWL_STYLE));
    EXPECT_EQ(spec.dwType, dwStyle & TypeMask(spec.pszClass));
    EXPECT_EQ(spec.dwStyle, dwStyle & spec.dwStyle);
    EXPECT_EQ(spec.bVisible, (dwStyle & WS_VISIBLE) != 0);
    const DWORD dwExStyle = static_cast<DWORD>(::GetWindowLongPtrA(hCtrl, GWL_EXSTYLE));
    EXPECT_EQ(spec.dwExStyle, dwExStyle & spec.dwExStyle);

    RECT rcExpected = spec.rcDialogUnits;
    ::MapDialogRect(hDlg, &rcExpected);
    RECT rcActual;
    ::GetWindowRect(hCtrl, &rcActual);
    ::MapWindowPoints(nullptr, hDlg, reinterpret_cast<LPPOINT>(&rcActual), 2);
    EXPECT_EQ(rcExpected.left, rcActual.left);
    EXPECT_EQ(rcExpected.top, rcActual.top);
    if (spec.dwType != SS_BITMAP) { // a bitmap static takes the bitmap's size
        EXPECT_EQ(rcExpected.right, rcActual.right - rcActual.left);
        EXPECT_EQ(rcExpected.bottom, rcActual.bottom - rcActual.top);
    }
}

template <size_t N>
void ExpectControls(HWND hDlg, const ControlSpec (&specs)[N])
{
    size_t nIndex = 0;
    for (HWND hCtrl = ::GetWindow(hDlg, GW_CHILD); hCtrl != nullptr;
         hCtrl = ::GetWindow(hCtrl, GW_HWNDNEXT), ++nIndex) {
        if (nIndex < N)
            ExpectControl(hDlg, hCtrl, specs[nIndex]);
    }
    EXPECT_EQ(N, nIndex);
}

void ExpectClientSize(HWND hDlg, int cx, int cy)
{
    RECT rcExpected = Dlu(0, 0, cx, cy);
    ::MapDialogRect(hDlg, &rcExpected);
    RECT rcClient;
    ::GetClientRect(hDlg, &rcClient);
    EXPECT_EQ(rcExpected.right, rcClient.right);
    EXPECT_EQ(rcExpected.bottom, rcClient.bottom);
}

} // namespace

TEST(Resources, MainDialogTemplate)
{
    CTemplateDialog dlg(IDD_MAIN);
    ASSERT_NE(nullptr, dlg.m_hWnd);
    EXPECT_EQ("Orlavent", WindowText(dlg.m_hWnd));
    const DWORD dwStyle = static_cast<DWORD>(::GetWindowLongPtrA(dlg.m_hWnd, GWL_STYLE));
    const DWORD dwWanted = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    EXPECT_EQ(dwWanted, dwStyle & dwWanted);
    EXPECT_EQ(0u, dwStyle & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_TRUE(::GetWindowLongPtrA(dlg.m_hWnd, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    LONG lHeight = 0;
    EXPECT_EQ(L"\x5B8B\x4F53", DialogFontFace(dlg.m_hWnd, &lHeight)); // SimSun, in Chinese
    EXPECT_EQ(PointsToLogicalHeight(dlg.m_hWnd, 9), lHeight);
    ExpectClientSize(dlg.m_hWnd, 436, 268);
    ExpectControls(dlg.m_hWnd, MAIN_CONTROLS);

    const HWND hLogo = ::GetWindow(::GetDlgItem(dlg.m_hWnd, IDC_SHOW_IMAGE), GW_HWNDNEXT);
    BITMAP bm = {};
    ::GetObjectA(reinterpret_cast<HBITMAP>(::SendMessageA(hLogo, STM_GETIMAGE, IMAGE_BITMAP, 0)),
        sizeof(bm), &bm);
    EXPECT_EQ(120, bm.bmWidth);
    EXPECT_EQ(66, bm.bmHeight);
}

TEST(Resources, ConfigDialogTemplate)
{
    CTemplateDialog dlg(IDD_CONFIG);
    ASSERT_NE(nullptr, dlg.m_hWnd);
    EXPECT_EQ("Config", WindowText(dlg.m_hWnd));
    const DWORD dwStyle = static_cast<DWORD>(::GetWindowLongPtrA(dlg.m_hWnd, GWL_STYLE));
    const DWORD dwWanted = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    EXPECT_EQ(dwWanted, dwStyle & dwWanted);
    LONG lHeight = 0;
    EXPECT_EQ(L"MS Sans Serif", DialogFontFace(dlg.m_hWnd, &lHeight));
    EXPECT_EQ(PointsToLogicalHeight(dlg.m_hWnd, 8), lHeight);
    ExpectClientSize(dlg.m_hWnd, 157, 173);
    ExpectControls(dlg.m_hWnd, CONFIG_CONTROLS);
}

TEST(Resources, IconLoadsThroughTheApplication)
{
    HICON hIcon = theApp.LoadIcon(IDR_MAINFRAME);
    ASSERT_NE(nullptr, hIcon);
    ICONINFO info = {};
    ASSERT_TRUE(::GetIconInfo(hIcon, &info));
    BITMAP bm = {};
    ::GetObjectA(info.hbmMask, sizeof(bm), &bm);
    EXPECT_EQ(32, bm.bmWidth);
    ::DeleteObject(info.hbmMask);
    ::DeleteObject(info.hbmColor);
}

// Tests of the MFC-shaped layer (afx/) and of the dialog templates (res/):
// dialogs run modally under Wine's null graphics driver, scripted from
// OnInitDialog. What the real main window and settings dialog do with the
// layer (their buttons, handlers' results, the settings dialog's owner) is
// tested in app_test; here is what they do not reach.
#include "afx/afxwin.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

// The program's resources are written by number: dialogs 102 (main) and
// 103 (settings); in 102, 1000 is the picture, 1001 the hidden "Initial
// Mode" button and 1002 "Show Image".

namespace {

const UINT WM_PROBE = WM_APP + 1;

class CTestApp : public CWinApp {
public:
    afx_msg void OnHelpCommand() { ++m_nCommands; }
    int m_nCommands = 0;

    DECLARE_MESSAGE_MAP()
};

// Control 1000 and SC_CLOSE are no command ids: their entries must never run.
BEGIN_MESSAGE_MAP(CTestApp, CWinApp)
    ON_COMMAND(ID_HELP, OnHelpCommand)
    ON_COMMAND(1000, OnHelpCommand)
    ON_COMMAND(0xF060, OnHelpCommand)
END_MESSAGE_MAP()

CTestApp theApp;

// A dialog that counts what reaches it; m_onInit scripts each test.
class CProbeDlg : public CDialog {
public:
    explicit CProbeDlg(UINT nIDTemplate = 102) : CDialog(nIDTemplate) {}

    BOOL OnInitDialog() override
    {
        ++m_nInit;
        return m_onInit ? m_onInit(*this) : TRUE;
    }
    afx_msg LRESULT OnProbe(WPARAM wParam, LPARAM lParam) { return static_cast<LRESULT>(wParam * 10 + lParam); }
    afx_msg void OnPaint() { ++m_nPaint; Default(); }
    afx_msg void OnDestroy() { ++m_nDestroy; CWnd::OnDestroy(); }
    afx_msg void OnRunNested() { if (m_onNested) m_onNested(); }

    std::function<BOOL(CProbeDlg&)> m_onInit;
    std::function<void()> m_onNested;
    int m_nInit = 0, m_nPaint = 0, m_nDestroy = 0;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeDlg, CDialog)
    ON_COMMAND(1001, OnRunNested)
    ON_MESSAGE(WM_PROBE, OnProbe)
    ON_WM_PAINT()
    ON_WM_DESTROY()
END_MESSAGE_MAP()

// A control routed through an object's map.
class CProbeCtrl : public CWnd {
public:
    afx_msg LRESULT OnProbe(WPARAM wParam, LPARAM lParam) { return static_cast<LRESULT>(wParam * 10 + lParam); }
    afx_msg LRESULT OnGetTextLength(WPARAM, LPARAM) { ++m_nTextLength; return Default(); }
    int m_nTextLength = 0;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeCtrl, CWnd)
    ON_MESSAGE(WM_PROBE, OnProbe)
    ON_MESSAGE(WM_GETTEXTLENGTH, OnGetTextLength)
END_MESSAGE_MAP()

// Posts a click of button nID, as the button itself sends it.
void PostClick(HWND hDlg, UINT nID)
{
    ::PostMessageA(hDlg, WM_COMMAND, MAKEWPARAM(nID, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(hDlg, nID)));
}

} // namespace

// A command the dialog does not handle goes on to the application only with
// a command id, from a menu, an accelerator or a button clicked: not other
// notifications, control ids or system commands.
TEST(AfxMessageMap, OnlyCommandsGoOnToTheApplication)
{
    const struct { const char* name; UINT nID, nCode; bool bFromControl; int nReached; } cases[] = {
        {"Help from a menu", ID_HELP, 0, false, 1},
        {"Help from an accelerator", ID_HELP, 1, false, 1},
        {"Help button clicked", ID_HELP, BN_CLICKED, true, 1},
        {"other notification with the Help id", ID_HELP, EN_CHANGE, true, 0},
        {"control id clicked", 1000, BN_CLICKED, true, 0},
        {"control id from a menu", 1000, 0, false, 0},
        {"system command id", 0xF060, 0, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        theApp.m_nCommands = 0;
        CProbeDlg dlg;
        dlg.m_onInit = [&](CProbeDlg& d) {
            const HWND hControl = c.bFromControl ? ::GetDlgItem(d.m_hWnd, 1000) : nullptr;
            ::PostMessageA(d.m_hWnd, WM_COMMAND, MAKEWPARAM(c.nID, c.nCode), reinterpret_cast<LPARAM>(hControl));
            PostClick(d.m_hWnd, IDCANCEL);
            return TRUE;
        };
        EXPECT_EQ(IDCANCEL, dlg.DoModal());
        EXPECT_EQ(c.nReached, theApp.m_nCommands);
    }
}

// Creation and destruction messages that are not the dialog's own, posted
// or sent from another thread, reach neither the object nor the dialog
// manager: it initialises and is torn down once, and answers meanwhile. A
// handler that calls Default() leaves the painting to the dialog manager,
// which validates the window. A dialog opened from the main window, here by
// a command sent from another thread, is modal over it and ends as any
// other. Once destroyed, the main window leaves no pointer behind: not in
// its wrappers, not in the application, nor does one whose window could
// not be built; none is ever kept in DWLP_USER, which any process may write.
TEST(AfxDialog, OnlyItsOwnLifeMakesAndEndsADialogAndNoPointerOutlivesIt)
{
    CProbeDlg mainDlg, nested(103);
    HWND hMain = nullptr, hMainOwner = nullptr, hNestedOwner = nullptr;
    BOOL bMainEnabledDuringNested = TRUE, bStillInvalid = TRUE;
    LRESULT probe = 0;
    INT_PTR nestedResult = 0;
    CWnd* pItem = nullptr;
    std::thread stranger;
    nested.m_onInit = [&](CProbeDlg& n) {
        hNestedOwner = ::GetWindow(n.m_hWnd, GW_OWNER);
        bMainEnabledDuringNested = ::IsWindowEnabled(hMain);
        PostClick(n.m_hWnd, IDCANCEL);
        return TRUE;
    };
    mainDlg.m_onNested = [&] { nestedResult = nested.DoModal(); };
    mainDlg.m_onInit = [&](CProbeDlg& d) {
        hMain = d.m_hWnd;
        theApp.m_pMainWnd = &d;
        hMainOwner = ::GetWindow(hMain, GW_OWNER);
        pItem = d.GetDlgItem(1002);
        EXPECT_EQ(0, ::GetWindowLongPtrA(hMain, DWLP_USER));
        ::ShowWindow(hMain, SW_SHOW);
        ::InvalidateRect(hMain, nullptr, TRUE);
        // The system may invalidate a freshly shown window again: allow a few
        // rounds; a dialog that never validates fails them all.
        for (int round = 0; round < 3 && bStillInvalid; ++round) {
            ::UpdateWindow(hMain);
            bStillInvalid = ::GetUpdateRect(hMain, nullptr, FALSE);
        }
        ::PostMessageA(hMain, WM_INITDIALOG, 0, 0);
        ::PostMessageA(hMain, WM_NCDESTROY, 0, 0);
        stranger = std::thread([&] {
            int junk = 0;
            ::SendMessageA(hMain, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(&junk));
            ::SendMessageA(hMain, WM_DESTROY, 0, 0);
            ::SendMessageA(hMain, WM_NCDESTROY, 0, 0);
            ::SendMessageA(hMain, WM_COMMAND, MAKEWPARAM(1001, BN_CLICKED), 0);
            probe = ::SendMessageA(hMain, WM_PROBE, 5, 6);
            PostClick(hMain, IDCANCEL);
        });
        return TRUE;
    };
    EXPECT_EQ(IDCANCEL, mainDlg.DoModal());
    stranger.join();
    EXPECT_EQ(56, probe);
    EXPECT_GE(mainDlg.m_nPaint, 1);
    EXPECT_FALSE(bStillInvalid);
    EXPECT_EQ(nullptr, hMainOwner);
    EXPECT_EQ(hMain, hNestedOwner);
    EXPECT_FALSE(bMainEnabledDuringNested);
    EXPECT_EQ(IDCANCEL, nestedResult);
    for (const CProbeDlg* dlg : {&mainDlg, &nested}) {
        EXPECT_EQ(1, dlg->m_nInit);
        EXPECT_EQ(1, dlg->m_nDestroy);
        EXPECT_EQ(nullptr, dlg->m_hWnd);
    }
    ASSERT_NE(nullptr, pItem);
    EXPECT_EQ(nullptr, pItem->m_hWnd);
    EXPECT_EQ(nullptr, AfxGetMainWnd());
    {
        CProbeDlg noTemplate(999);
        theApp.m_pMainWnd = &noTemplate;
        EXPECT_EQ(-1, noTemplate.DoModal());
    }
    EXPECT_EQ(nullptr, AfxGetMainWnd());
}

// A routed control answers through the object's map; what the map leaves,
// and what a handler hands to Default(), reach the control's own procedure.
// One object routes one live control. Its control gone with the first
// dialog, the object routes the next dialog's; given back, the control
// answers as before.
TEST(AfxWnd, ARoutedControlAnswersThroughTheMapAndIsGivenBack)
{
    CProbeCtrl ctrl;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        CProbeDlg dlg;
        dlg.m_onInit = [&](CProbeDlg& d) {
            const HWND hButton = ::GetDlgItem(d.m_hWnd, 1002);
            EXPECT_TRUE(ctrl.SubclassDlgItem(1002, &d));
            EXPECT_FALSE(ctrl.SubclassDlgItem(1001, &d)) << "a second control";
            EXPECT_FALSE(CProbeCtrl().SubclassDlgItem(4242, &d)) << "no such control";
            EXPECT_EQ(34, ::SendMessageA(hButton, WM_PROBE, 3, 4));
            EXPECT_EQ(10, ::SendMessageA(hButton, WM_GETTEXTLENGTH, 0, 0));
            char text[16] = {};
            ::GetWindowTextA(hButton, text, sizeof(text));
            EXPECT_STREQ("Show Image", text);
            if (round == 1) {
                EXPECT_EQ(hButton, ctrl.UnsubclassWindow());
                EXPECT_EQ(0, ::SendMessageA(hButton, WM_PROBE, 3, 4));
                EXPECT_EQ(10, ::SendMessageA(hButton, WM_GETTEXTLENGTH, 0, 0));
            }
            PostClick(d.m_hWnd, IDCANCEL);
            return TRUE;
        };
        EXPECT_EQ(IDCANCEL, dlg.DoModal());
    }
    EXPECT_EQ(2, ctrl.m_nTextLength);
    EXPECT_EQ(nullptr, ctrl.UnsubclassWindow());
}

// The templates as the dialog manager builds them: what the operator reads,
// and what the code relies on: the hidden "Initial Mode" button and logo,
// the settings dialog hidden until it runs, setting edits for digits only.
TEST(Resources, DialogTemplatesBuildTheirWindows)
{
    const HWND hDialogs[] = {
        ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(102), nullptr, nullptr, 0),
        ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(103), nullptr, nullptr, 0),
    };
    ASSERT_TRUE(hDialogs[0] && hDialogs[1]);
    const struct { int nDialog, nID; const char* pszText; bool bVisible; } items[] = {
        {0, 0, "Orlavent", true}, {0, IDOK, "Device Connect", true}, {0, IDCANCEL, "Exit", true},
        {0, 1002, "Show Image", true}, {0, 1001, "Initial Mode", false}, {0, 1000, "", true},
        {1, 0, "Config", false}, {1, IDOK, "OK", true}, {1, IDCANCEL, "Cancel", true},
    };
    for (const auto& item : items) {
        const HWND hWnd = item.nID ? ::GetDlgItem(hDialogs[item.nDialog], item.nID) : hDialogs[item.nDialog];
        char szText[64] = {};
        ::GetWindowTextA(hWnd, szText, sizeof(szText));
        EXPECT_STREQ(item.pszText, szText);
        EXPECT_EQ(item.bVisible, (::GetWindowLongA(hWnd, GWL_STYLE) & WS_VISIBLE) != 0) << item.pszText;
    }
    const HWND hLogo = ::GetWindow(::GetDlgItem(hDialogs[0], 1002), GW_HWNDNEXT);
    EXPECT_NE(0, ::SendMessageA(hLogo, STM_GETIMAGE, IMAGE_BITMAP, 0)) << "the logo";
    EXPECT_FALSE(::GetWindowLongA(hLogo, GWL_STYLE) & WS_VISIBLE) << "the logo";
    for (int nID = 1000; nID < 1006; ++nID)
        EXPECT_TRUE(::GetWindowLongA(::GetDlgItem(hDialogs[1], nID), GWL_STYLE) & ES_NUMBER) << nID;
    for (const HWND hDlg : hDialogs)
        ::DestroyWindow(hDlg);
}

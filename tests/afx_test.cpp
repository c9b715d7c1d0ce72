// Tests of the MFC-shaped layer (afx/) and of the dialog templates (res/):
// dialogs run modally under Wine's null graphics driver, scripted from
// OnInitDialog. What the real main window and settings dialog do with the
// layer (their buttons, handlers' results and painting, the settings
// dialog's owner) is tested in app_test; here is what they do not reach.
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
        if (m_onInit)
            m_onInit(*this);
        return TRUE;
    }
    afx_msg LRESULT OnProbe(WPARAM wParam, LPARAM lParam) { return static_cast<LRESULT>(wParam * 10 + lParam); }
    afx_msg void OnDestroy() { ++m_nDestroy; CWnd::OnDestroy(); }
    afx_msg void OnRunNested() { if (m_onNested) m_onNested(); }

    std::function<void(CProbeDlg&)> m_onInit;
    std::function<void()> m_onNested;
    int m_nInit = 0, m_nDestroy = 0;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeDlg, CDialog)
    ON_COMMAND(1001, OnRunNested)
    ON_MESSAGE(WM_PROBE, OnProbe)
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
    const struct { const char* name; UINT nID, nCode; int nReached; } cases[] = {
        {"Help from a menu", ID_HELP, 0, 1},
        {"Help from an accelerator", ID_HELP, 1, 1},
        {"Help button clicked", ID_HELP, BN_CLICKED, 1},
        {"other notification with the Help id", ID_HELP, EN_CHANGE, 0},
        {"control id clicked", 1000, BN_CLICKED, 0},
        {"control id from a menu", 1000, 0, 0},
        {"system command id", 0xF060, 0, 0},
    };
    CProbeDlg dlg;
    dlg.m_onInit = [&](CProbeDlg& d) {
        for (const auto& c : cases) {
            theApp.m_nCommands = 0;
            const HWND hControl = c.nCode > 1 ? ::GetDlgItem(d.m_hWnd, 1000) : nullptr; // 0 and 1: menu, accelerator
            d.SendMessage(WM_COMMAND, MAKEWPARAM(c.nID, c.nCode), reinterpret_cast<LPARAM>(hControl));
            EXPECT_EQ(c.nReached, theApp.m_nCommands) << c.name;
        }
        PostClick(d.m_hWnd, IDCANCEL);
    };
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
}

// Creation and destruction messages that are not the dialog's own, posted,
// or sent from another thread, reach neither the object nor the dialog
// manager: it initialises and is torn down once, and answers meanwhile. A
// dialog opened by a command sent from another thread ends as any other.
// Once destroyed, the main window leaves no pointer behind: not in its
// wrappers, not in the application, nor does one whose window could not be
// built; none is ever kept in DWLP_USER, which any process may write.
TEST(AfxDialog, OnlyItsOwnLifeMakesAndEndsADialogAndNoPointerOutlivesIt)
{
    CProbeDlg mainDlg, nested(103);
    LRESULT probe = 0;
    CWnd* pItem = nullptr;
    std::thread stranger;
    nested.m_onInit = [](CProbeDlg& n) { PostClick(n.m_hWnd, IDCANCEL); };
    mainDlg.m_onNested = [&] { EXPECT_EQ(IDCANCEL, nested.DoModal()); };
    mainDlg.m_onInit = [&](CProbeDlg& d) {
        const HWND hMain = d.m_hWnd;
        theApp.m_pMainWnd = &d;
        pItem = d.GetDlgItem(1002);
        EXPECT_EQ(0, ::GetWindowLongPtrA(hMain, DWLP_USER));
        ::PostMessageA(hMain, WM_INITDIALOG, 0, 0);
        ::PostMessageA(hMain, WM_NCDESTROY, 0, 0);
        stranger = std::thread([&, hMain] {
            int junk = 0;
            ::SendMessageA(hMain, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(&junk));
            ::SendMessageA(hMain, WM_DESTROY, 0, 0);
            ::SendMessageA(hMain, WM_NCDESTROY, 0, 0);
            ::SendMessageA(hMain, WM_COMMAND, MAKEWPARAM(1001, BN_CLICKED), 0);
            probe = ::SendMessageA(hMain, WM_PROBE, 5, 6);
            PostClick(hMain, IDCANCEL);
        });
    };
    EXPECT_EQ(IDCANCEL, mainDlg.DoModal());
    if (stranger.joinable()) // not when the dialog never ran
        stranger.join();
    EXPECT_EQ(56, probe);
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
// dialog, the object routes the next dialog's; given back, the control has
// its own procedure again.
TEST(AfxWnd, ARoutedControlAnswersThroughTheMapAndIsGivenBack)
{
    CProbeCtrl ctrl;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        CProbeDlg dlg;
        dlg.m_onInit = [&](CProbeDlg& d) {
            const HWND hButton = ::GetDlgItem(d.m_hWnd, 1002);
            const LONG_PTR ownProcedure = ::GetWindowLongPtrA(hButton, GWLP_WNDPROC);
            EXPECT_TRUE(ctrl.SubclassDlgItem(1002, &d));
            EXPECT_FALSE(ctrl.SubclassDlgItem(1001, &d)) << "a second control";
            EXPECT_FALSE(CProbeCtrl().SubclassDlgItem(4242, &d)) << "no such control";
            EXPECT_EQ(34, ::SendMessageA(hButton, WM_PROBE, 3, 4));
            EXPECT_EQ(10, ::SendMessageA(hButton, WM_GETTEXTLENGTH, 0, 0));
            char text[16] = {};
            EXPECT_EQ(10, ::GetWindowTextA(hButton, text, sizeof(text))) << "Show Image";
            if (round == 1) {
                EXPECT_EQ(hButton, ctrl.UnsubclassWindow());
                EXPECT_EQ(ownProcedure, ::GetWindowLongPtrA(hButton, GWLP_WNDPROC));
            }
            PostClick(d.m_hWnd, IDCANCEL);
        };
        EXPECT_EQ(IDCANCEL, dlg.DoModal());
    }
    EXPECT_EQ(2, ctrl.m_nTextLength);
    EXPECT_EQ(nullptr, ctrl.UnsubclassWindow());
}

// What the templates build that no other test sees: the "Initial Mode"
// button and the logo hidden, setting edits that take digits only.
TEST(Resources, HiddenControlsAndNumberOnlySettings)
{
    const HWND hMain = ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(102), nullptr, nullptr, 0);
    const HWND hConfig = ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(103), nullptr, nullptr, 0);
    ASSERT_TRUE(hMain && hConfig);
    for (const HWND hHidden : {::GetDlgItem(hMain, 1001), ::GetWindow(::GetDlgItem(hMain, 1002), GW_HWNDNEXT)})
        EXPECT_FALSE(::GetWindowLongA(hHidden, GWL_STYLE) & WS_VISIBLE);
    for (int nID = 1000; nID < 1006; ++nID)
        EXPECT_TRUE(::GetWindowLongA(::GetDlgItem(hConfig, nID), GWL_STYLE) & ES_NUMBER) << nID;
    ::DestroyWindow(hMain);
    ::DestroyWindow(hConfig);
}

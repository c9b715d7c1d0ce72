// Tests of the MFC-shaped layer (afx/) and of the dialog templates (res/):
// dialogs run modally under Wine's null graphics driver, driven by messages
// they post to themselves from OnInitDialog. What the real main window and
// settings dialog do with the layer is tested in app_test.
#include "afx/afxwin.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

// The program's resources are written by number: dialogs 102 (main) and
// 103 (settings); in 102, 1000 is the picture, 1001 the hidden "Initial
// Mode" button and 1002 "Show Image".

namespace {

const UINT WM_PROBE = WM_APP + 1;

class CTestApp : public CWinApp {
public:
    afx_msg void OnHelpCommand() { ++m_nHelp; }
    afx_msg void OnNotACommand() { ++m_nNotACommand; }
    int m_nHelp = 0, m_nNotACommand = 0;

    DECLARE_MESSAGE_MAP()
};

// Control 1000 and SC_CLOSE are no command ids: entries for them must never run.
BEGIN_MESSAGE_MAP(CTestApp, CWinApp)
    ON_COMMAND(ID_HELP, OnHelpCommand)
    ON_COMMAND(1000, OnNotACommand)
    ON_COMMAND(0xF060, OnNotACommand)
END_MESSAGE_MAP()

CTestApp theApp;

// A dialog that records what reaches it; m_onInit scripts each test.
class CProbeDlg : public CDialog {
public:
    explicit CProbeDlg(UINT nIDTemplate = 102) : CDialog(nIDTemplate) {}

    BOOL OnInitDialog() override
    {
        ++m_nInit;
        CDialog::OnInitDialog();
        return m_onInit ? m_onInit(*this) : TRUE;
    }
    void OnOK() override { ++m_nOK; CDialog::OnOK(); }
    void OnCancel() override { ++m_nCancel; CDialog::OnCancel(); }

    afx_msg void OnShowImage() { ++m_nShowImage; }
    afx_msg LRESULT OnProbe(WPARAM wParam, LPARAM lParam) { return static_cast<LRESULT>(wParam * 10 + lParam); }
    afx_msg void OnPaint() { ++m_nPaint; Default(); }
    afx_msg void OnDestroy() { ++m_nDestroy; CWnd::OnDestroy(); }
    afx_msg void OnRunNested() { if (m_onNested) m_onNested(*this); }

    std::function<BOOL(CProbeDlg&)> m_onInit;
    std::function<void(CProbeDlg&)> m_onNested;
    int m_nInit = 0, m_nOK = 0, m_nCancel = 0, m_nShowImage = 0, m_nPaint = 0, m_nDestroy = 0;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeDlg, CDialog)
    ON_BN_CLICKED(1002, OnShowImage)
    ON_COMMAND(1001, OnRunNested)
    ON_MESSAGE(WM_PROBE, OnProbe)
    ON_WM_PAINT()
    ON_WM_DESTROY()
END_MESSAGE_MAP()

// Posts a click of button nID, as the button itself sends it.
void PostClick(HWND hDlg, UINT nID)
{
    ::PostMessageA(hDlg, WM_COMMAND, MAKEWPARAM(nID, BN_CLICKED),
        reinterpret_cast<LPARAM>(::GetDlgItem(hDlg, nID)));
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

// A control routed through an object's map.
class CProbeCtrl : public CWnd {
public:
    afx_msg LRESULT OnProbe(WPARAM wParam, LPARAM lParam) { return static_cast<LRESULT>(wParam * 10 + lParam); }
    afx_msg LRESULT OnGetTextLength(WPARAM, LPARAM)
    {
        ++m_nTextLength;
        return Default();
    }
    int m_nTextLength = 0;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeCtrl, CWnd)
    ON_MESSAGE(WM_PROBE, OnProbe)
    ON_MESSAGE(WM_GETTEXTLENGTH, OnGetTextLength)
END_MESSAGE_MAP()

} // namespace

// A WM_COMMAND goes to the dialog's map first; only commands with a command
// id go on to the application: from a menu, an accelerator or a button, but
// not other notifications, control ids or system commands.
TEST(AfxMessageMap, OnlyCommandsGoOnToTheApplication)
{
    enum Reaches { NOTHING, APP_HELP, DIALOG_BUTTON, DIALOG_OK };
    struct Case { const char* name; UINT nID, nCode; bool bFromControl; Reaches reaches; };
    const Case cases[] = {
        { "Help from a menu", 0xE146, 0, false, APP_HELP },
        { "Help from an accelerator", 0xE146, 1, false, APP_HELP },
        { "Help button clicked", 0xE146, BN_CLICKED, true, APP_HELP },
        { "other notification with the Help id", 0xE146, EN_CHANGE, true, NOTHING },
        { "control id clicked", 1000, BN_CLICKED, true, NOTHING },
        { "control id from a menu", 1000, 0, false, NOTHING },
        { "system command id", 0xF060, 0, false, NOTHING },
        { "dialog's button clicked", 1002, BN_CLICKED, true, DIALOG_BUTTON },
        { "OK clicked", IDOK, BN_CLICKED, true, DIALOG_OK },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        theApp.m_nHelp = theApp.m_nNotACommand = 0;
        CProbeDlg dlg;
        dlg.m_onInit = [&](CProbeDlg& d) {
            const HWND hControl = c.bFromControl ? ::GetDlgItem(d.m_hWnd, 1000) : nullptr;
            ::PostMessageA(d.m_hWnd, WM_COMMAND, MAKEWPARAM(c.nID, c.nCode), reinterpret_cast<LPARAM>(hControl));
            PostClick(d.m_hWnd, IDCANCEL); // never handled if OK has ended the dialog
            return TRUE;
        };
        EXPECT_EQ(c.reaches == DIALOG_OK ? IDOK : IDCANCEL, dlg.DoModal());
        EXPECT_EQ(int(c.reaches == APP_HELP), theApp.m_nHelp);
        EXPECT_EQ(0, theApp.m_nNotACommand);
        EXPECT_EQ(int(c.reaches == DIALOG_BUTTON), dlg.m_nShowImage);
        EXPECT_EQ(int(c.reaches == DIALOG_OK), dlg.m_nOK);
        EXPECT_EQ(int(c.reaches != DIALOG_OK), dlg.m_nCancel);
    }
}

// A handler's result reaches the sender; a handler that calls Default()
// leaves the painting to the dialog manager, which must then validate the
// window. A dialog opened from the main window is owned by it, and so is
// modal over it; the main window itself has no owner. Once destroyed, the
// main window leaves no pointer behind: not in DWLP_USER, not in its
// wrappers, not in the application; nor does one whose window could not be
// built.
TEST(AfxDialog, HandlersAnswerAndTheMainWindowOwnsOtherDialogsAndIsForgotten)
{
    CProbeDlg mainDlg;
    HWND hMain = nullptr, hMainOwner = reinterpret_cast<HWND>(1), hNestedOwner = nullptr;
    BOOL bMainEnabledDuringNested = TRUE, bStillInvalid = TRUE;
    LRESULT probeResult = 0;
    CWnd* pItem = nullptr;
    mainDlg.m_onInit = [&](CProbeDlg& d) {
        probeResult = d.SendMessage(WM_PROBE, 3, 4);
        ::ShowWindow(d.m_hWnd, SW_SHOW);
        ::InvalidateRect(d.m_hWnd, nullptr, TRUE);
        // The system may invalidate a freshly shown window again: allow a few
        // rounds; a dialog that never validates fails them all.
        for (int round = 0; round < 3 && bStillInvalid; ++round) {
            ::UpdateWindow(d.m_hWnd);
            bStillInvalid = ::GetUpdateRect(d.m_hWnd, nullptr, FALSE);
        }
        theApp.m_pMainWnd = &d;
        hMain = d.m_hWnd;
        hMainOwner = ::GetWindow(d.m_hWnd, GW_OWNER);
        pItem = d.GetDlgItem(1002);
        g_userAfterNcDestroy = -1;
        g_pfnDialogWndProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrA(
            d.m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WatchNcDestroy)));
        PostClick(d.m_hWnd, 1001);
        return TRUE;
    };
    mainDlg.m_onNested = [&](CProbeDlg& d) {
        CProbeDlg nested(103);
        nested.m_onInit = [&](CProbeDlg& n) {
            hNestedOwner = ::GetWindow(n.m_hWnd, GW_OWNER);
            bMainEnabledDuringNested = ::IsWindowEnabled(d.m_hWnd);
            PostClick(n.m_hWnd, IDCANCEL);
            return TRUE;
        };
        EXPECT_EQ(IDCANCEL, nested.DoModal());
        PostClick(d.m_hWnd, IDCANCEL);
    };
    EXPECT_EQ(IDCANCEL, mainDlg.DoModal());
    EXPECT_EQ(34, probeResult);
    EXPECT_GE(mainDlg.m_nPaint, 1);
    EXPECT_FALSE(bStillInvalid);
    EXPECT_EQ(nullptr, hMainOwner);
    EXPECT_EQ(hMain, hNestedOwner);
    EXPECT_FALSE(bMainEnabledDuringNested);
    EXPECT_EQ(0, g_userAfterNcDestroy);
    EXPECT_EQ(1, mainDlg.m_nDestroy);
    EXPECT_EQ(nullptr, mainDlg.m_hWnd);
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

// Creation and destruction messages that do not come from the dialog's own
// life, sent from another thread or posted, reach neither the object nor
// the dialog manager: the dialog initialises once, still answers and ends
// as usual, and is torn down once. A dialog opened by a command sent from
// another thread lives and ends as any other.
TEST(AfxDialog, LifecycleMessagesFromElsewhereChangeNothing)
{
    CProbeDlg dlg, nested(103);
    std::thread stranger;
    LRESULT probeAfter = 0;
    INT_PTR nestedResult = 0;
    nested.m_onInit = [](CProbeDlg& n) {
        PostClick(n.m_hWnd, IDCANCEL);
        return TRUE;
    };
    dlg.m_onNested = [&](CProbeDlg&) { nestedResult = nested.DoModal(); };
    dlg.m_onInit = [&](CProbeDlg& d) {
        const HWND hDlg = d.m_hWnd;
        ::PostMessageA(hDlg, WM_INITDIALOG, 0, 0);
        ::PostMessageA(hDlg, WM_NCDESTROY, 0, 0);
        stranger = std::thread([&, hDlg] {
            int junk = 0;
            ::SendMessageA(hDlg, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(&junk));
            ::SendMessageA(hDlg, WM_DESTROY, 0, 0);
            ::SendMessageA(hDlg, WM_NCDESTROY, 0, 0);
            ::SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(1001, BN_CLICKED), 0);
            probeAfter = ::SendMessageA(hDlg, WM_PROBE, 5, 6);
            PostClick(hDlg, IDCANCEL);
        });
        return TRUE;
    };
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    stranger.join();
    EXPECT_EQ(56, probeAfter);
    EXPECT_EQ(1, dlg.m_nInit);
    EXPECT_EQ(1, dlg.m_nCancel);
    EXPECT_EQ(1, dlg.m_nDestroy);
    EXPECT_EQ(nullptr, dlg.m_hWnd);
    EXPECT_EQ(IDCANCEL, nestedResult);
    EXPECT_EQ(1, nested.m_nInit);
    EXPECT_EQ(1, nested.m_nDestroy);
}

// A routed control answers through the object's map; what the map leaves,
// and what a handler hands to Default(), reach the control's own procedure.
// One object routes one live control. Its control gone with the dialog, the
// object routes the next dialog's; given back, the control answers as
// before.
TEST(AfxWnd, ARoutedControlAnswersThroughTheMapAndIsGivenBack)
{
    CProbeCtrl ctrl;
    struct Round {
        BOOL bRouted = FALSE, bSecond = TRUE, bMissing = TRUE;
        LRESULT probe = 0, length = 0;
        char text[16] = {};
        HWND hButton = nullptr, hGiven = nullptr;
        LRESULT probeAfter = -1, lengthAfter = 0;
    } rounds[2];
    for (int r = 0; r < 2; ++r) {
        Round& round = rounds[r];
        CProbeDlg dlg;
        dlg.m_onInit = [&](CProbeDlg& d) {
            round.hButton = ::GetDlgItem(d.m_hWnd, 1002);
            round.bRouted = ctrl.SubclassDlgItem(1002, &d);
            round.bSecond = ctrl.SubclassDlgItem(1001, &d);
            CProbeCtrl other;
            round.bMissing = other.SubclassDlgItem(4242, &d);
            round.probe = ::SendMessageA(round.hButton, WM_PROBE, 3, 4);
            round.length = ::SendMessageA(round.hButton, WM_GETTEXTLENGTH, 0, 0);
            ::GetWindowTextA(round.hButton, round.text, sizeof(round.text));
            if (r == 1) { // the first round's control dies routed
                round.hGiven = ctrl.UnsubclassWindow();
                round.probeAfter = ::SendMessageA(round.hButton, WM_PROBE, 3, 4);
                round.lengthAfter = ::SendMessageA(round.hButton, WM_GETTEXTLENGTH, 0, 0);
            }
            PostClick(d.m_hWnd, IDCANCEL);
            return TRUE;
        };
        EXPECT_EQ(IDCANCEL, dlg.DoModal());
    }
    for (const Round& round : rounds) {
        EXPECT_TRUE(round.bRouted);
        EXPECT_FALSE(round.bSecond);
        EXPECT_FALSE(round.bMissing);
        EXPECT_EQ(34, round.probe);
        EXPECT_EQ(10, round.length);
        EXPECT_STREQ("Show Image", round.text);
    }
    EXPECT_EQ(2, ctrl.m_nTextLength);
    EXPECT_EQ(rounds[1].hButton, rounds[1].hGiven);
    EXPECT_EQ(0, rounds[1].probeAfter);
    EXPECT_EQ(10, rounds[1].lengthAfter);
    EXPECT_EQ(nullptr, ctrl.m_hWnd);
    EXPECT_EQ(nullptr, ctrl.UnsubclassWindow());
}

// The templates as the dialog manager builds them: what the operator reads
// and what the code relies on (the hidden "Initial Mode" button and logo,
// number-only setting edits, fonts). Positions are the templates' own
// numbers; the one the code changes, the picture control's, is checked in
// app_test.
TEST(Resources, DialogTemplatesBuildTheirWindows)
{
    const struct { UINT nDialog; int nID; const char* pszText; bool bVisible; } items[] = {
        { 102, 0, "Orlavent", true }, { 102, IDOK, "Device Connect", true }, { 102, IDCANCEL, "Exit", true },
        { 102, 1002, "Show Image", true }, { 102, 1001, "Initial Mode", false }, { 102, 1000, "", true },
        { 103, 0, "Config", false }, { 103, IDOK, "OK", true }, { 103, IDCANCEL, "Cancel", true },
    };
    const struct { UINT nID; const wchar_t* pszFont; int nPoints; } fonts[] = {
        { 102, L"\x5B8B\x4F53", 9 }, // SimSun, in Chinese
        { 103, L"MS Sans Serif", 8 },
    };
    for (const auto& font : fonts) {
        SCOPED_TRACE(font.nID);
        const HWND hDlg = ::CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(font.nID), nullptr, nullptr, 0);
        ASSERT_NE(nullptr, hDlg);
        LOGFONTW lf = {};
        ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageA(hDlg, WM_GETFONT, 0, 0)), sizeof(lf), &lf);
        EXPECT_EQ(std::wstring(font.pszFont), lf.lfFaceName);
        HDC hDC = ::GetDC(hDlg);
        EXPECT_EQ(-::MulDiv(font.nPoints, ::GetDeviceCaps(hDC, LOGPIXELSY), 72), lf.lfHeight);
        ::ReleaseDC(hDlg, hDC);

        for (const auto& item : items) {
            if (item.nDialog != font.nID)
                continue;
            const HWND hWnd = item.nID ? ::GetDlgItem(hDlg, item.nID) : hDlg;
            char szText[64] = {};
            ::GetWindowTextA(hWnd, szText, sizeof(szText));
            EXPECT_STREQ(item.pszText, szText);
            EXPECT_EQ(item.bVisible, (::GetWindowLongA(hWnd, GWL_STYLE) & WS_VISIBLE) != 0) << item.pszText;
        }
        if (font.nID == 102) {
            const HWND hLogo = ::GetWindow(::GetDlgItem(hDlg, 1002), GW_HWNDNEXT);
            EXPECT_NE(0, ::SendMessageA(hLogo, STM_GETIMAGE, IMAGE_BITMAP, 0)) << "the logo";
            EXPECT_FALSE(::GetWindowLongA(hLogo, GWL_STYLE) & WS_VISIBLE) << "the logo";
        } else {
            for (int nID = 1000; nID < 1006; ++nID)
                EXPECT_TRUE(::GetWindowLongA(::GetDlgItem(hDlg, nID), GWL_STYLE) & ES_NUMBER) << nID;
        }
        ::DestroyWindow(hDlg);
    }
    EXPECT_NE(nullptr, theApp.LoadIcon(128));
}

// The dialog manager does not pass every font detail of an extended
// template on to the font it makes, so the main template's are read as
// stored: after the header, the menu, class and caption fields, come the
// point size, weight, italic flag and character set.
TEST(Resources, MainTemplateAsksForItsFontExactly)
{
    const HRSRC found = ::FindResourceA(nullptr, MAKEINTRESOURCEA(102), MAKEINTRESOURCEA(5)); // RT_DIALOG
    ASSERT_NE(nullptr, found);
    const BYTE* bytes = static_cast<const BYTE*>(::LockResource(::LoadResource(nullptr, found)));
    auto word = [&](size_t offset) { return *reinterpret_cast<const WORD*>(bytes + offset); };
    ASSERT_EQ(0xFFFF, word(2)) << "an extended template";
    size_t offset = 26; // version, signature, help id, styles, item count, x, y, cx, cy
    for (int field = 0; field < 3; ++field) { // menu, class, caption: 0, FFFF+ordinal, or a string
        if (word(offset) == 0xFFFF)
            offset += 4;
        else
            offset += (lstrlenW(reinterpret_cast<const wchar_t*>(bytes + offset)) + 1) * 2;
    }
    EXPECT_EQ(9, word(offset));          // points
    EXPECT_EQ(0, word(offset + 2));      // weight: as the font comes
    EXPECT_EQ(0, bytes[offset + 4]);     // not italic
    EXPECT_EQ(1, bytes[offset + 5]);     // DEFAULT_CHARSET
    EXPECT_STREQ(L"\x5B8B\x4F53", reinterpret_cast<const wchar_t*>(bytes + offset + 6));
}

// The version resource's numbers: 1.0.0.1 (the release zip is named after them).
TEST(Resources, VersionIsOneZeroZeroOne)
{
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    DWORD handle = 0;
    std::vector<BYTE> info(::GetFileVersionInfoSizeA(path, &handle));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(::GetFileVersionInfoA(path, 0, static_cast<DWORD>(info.size()), info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(::VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00000001u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00010000u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00000001u, fixed->dwProductVersionLS);
}

// CDialog: modal dialogs whose messages go through the message map.
#include "afx/afxwin.h"
#include "afx/afximpl.h"

namespace {

// Messages whose result a dialog procedure returns itself instead of
// through DWLP_MSGRESULT.
BOOL ReturnsResultDirectly(UINT message)
{
    switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
        return TRUE;
    default:
        return FALSE;
    }
}

// Tear-down always needs the default handling too (it frees the dialog's
// font and restores the focus), whatever a handler did.
BOOL IsTearDown(UINT message)
{
    return message == WM_DESTROY || message == WM_NCDESTROY;
}

// What the application may see of a dialog's WM_COMMAND: a command from a
// menu or an accelerator (no control), or a button clicked as a command,
// and only with a command id. Control ids and other notifications are the
// dialog's own business; system command ids (0xF000 up) are not commands.
BOOL IsApplicationCommand(WPARAM wParam, LPARAM lParam)
{
    const UINT nID = LOWORD(wParam);
    const BOOL bCommand = lParam == 0 || HIWORD(wParam) == BN_CLICKED;
    return bCommand && nID >= 0x8000 && nID < 0xF000;
}

// The dialog objects of this thread's windows. Kept here rather than in
// the window's DWLP_USER, which any process may overwrite.
std::map<HWND, CDialog*>& ThreadDialogs()
{
    thread_local std::map<HWND, CDialog*> s_dialogs;
    return s_dialogs;
}

CDialog* DialogFromHandle(HWND hDlg)
{
    const auto& dialogs = ThreadDialogs();
    const auto found = dialogs.find(hDlg);
    return found == dialogs.end() ? nullptr : found->second;
}

// The dialog this thread is creating: its window's first message attaches
// it. A message's own parameters never name the object.
thread_local CDialog* t_pDialogInCreation = nullptr;

// Sent by another thread or process: SendMessage from elsewhere, never the
// window's own creation or destruction.
BOOL IsFromElsewhere()
{
    return (::InSendMessageEx(nullptr) & ISMEX_SEND) != 0;
}

BOOL IsLifecycle(UINT message)
{
    return message == WM_INITDIALOG || IsTearDown(message);
}

} // namespace

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, OnOK)
    ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd*)
    : m_nIDTemplate(nIDTemplate)
{
}

INT_PTR CDialog::DoModal()
{
    m_bInitialized = FALSE;
    m_bEnding = FALSE;
    m_bRunInsideSend = IsFromElsewhere();
    CDialog* const pOuter = t_pDialogInCreation;
    t_pDialogInCreation = this;
    const INT_PTR nResult = ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate),
        FindOwner(), &CDialog::DialogProc, 0);
    t_pDialogInCreation = pOuter; // still set if the window was never built
    // A modal loop ended by WM_QUIT rather than EndDialog has destroyed the
    // window with its tear-down messages ignored: let go of it here.
    if (m_hWnd != nullptr) {
        ThreadDialogs().erase(m_hWnd);
        DetachWindow();
    }
    return nResult;
}

BOOL CDialog::OnInitDialog()
{
    return TRUE;
}

void CDialog::EndDialog(int nResult)
{
    m_bEnding = TRUE;
    ::EndDialog(m_hWnd, nResult);
}

void CDialog::OnOK()
{
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

HWND CDialog::FindOwner() const
{
    CWnd* pMainWnd = AfxGetMainWnd();
    if (pMainWnd == nullptr || pMainWnd == this || pMainWnd->m_hWnd == nullptr)
        return nullptr;
    return ::GetLastActivePopup(pMainWnd->m_hWnd);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog* pDlg = DialogFromHandle(hDlg);
    if (pDlg == nullptr && t_pDialogInCreation != nullptr) {
        // The first message of the window being built (WM_SETFONT or
        // WM_INITDIALOG), sent by the dialog manager on this thread before
        // anyone else can know the window.
        pDlg = t_pDialogInCreation;
        t_pDialogInCreation = nullptr;
        pDlg->m_hWnd = hDlg;
        ThreadDialogs()[hDlg] = pDlg;
    }
    if (pDlg == nullptr)
        return FALSE;
    if (IsLifecycle(message) && !pDlg->IsOwnLifecycle(message))
        return TRUE; // handled: neither the object nor the dialog manager sees it
    return pDlg->HandleMessage(hDlg, message, wParam, lParam);
}

// Creation and destruction come from this thread's dialog manager: the
// creation before all else, the destruction only after EndDialog. The same
// messages sent or posted by anyone else would initialise the window again
// or tear down one that goes on living.
BOOL CDialog::IsOwnLifecycle(UINT message) const
{
    if (message == WM_INITDIALOG)
        return !m_bInitialized;
    // A dialog run from the handler of a message sent from elsewhere sees
    // that message as the one in handling for its whole life.
    return m_bEnding && (m_bRunInsideSend || !IsFromElsewhere());
}

INT_PTR CDialog::HandleMessage(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        m_bInitialized = TRUE;
        return OnInitDialog();
    }

    BOOL bDefaultRequested = FALSE;
    LRESULT lResult = 0;
    BOOL bHandled;
    {
        CDefaultRequestScope scope(m_pbDefaultRequested, &bDefaultRequested);
        bHandled = Dispatch(message, wParam, lParam, &lResult);
    }
    if (message == WM_NCDESTROY) {
        ThreadDialogs().erase(hDlg);
        DetachWindow();
    }

    if (!bHandled || bDefaultRequested || IsTearDown(message))
        return FALSE;
    if (ReturnsResultDirectly(message))
        return lResult;
    ::SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, lResult);
    return TRUE;
}

// The dialog's own map first; commands it does not handle go on to the
// application object, as in MFC (ID_HELP lives in the application's map).
BOOL CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (OnWndMsg(message, wParam, lParam, pResult))
        return TRUE;
    CWinApp* pApp = AfxGetApp();
    if (message == WM_COMMAND && IsApplicationCommand(wParam, lParam) && pApp != nullptr)
        return pApp->OnWndMsg(message, wParam, lParam, pResult);
    return FALSE;
}

// CDialog: modal dialogs whose messages go through the message map.
#include "afx/afxwin.h"

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

CDialog* DialogFromHandle(HWND hDlg)
{
    return reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hDlg, DWLP_USER));
}

// Points the window's "default handling requested" flag at one message's
// flag for the time of its handling; nested messages get their own.
class CDefaultRequestScope {
public:
    CDefaultRequestScope(BOOL*& pbSlot, BOOL* pbFlag)
        : m_pbSlot(pbSlot), m_pbSaved(pbSlot)
    {
        m_pbSlot = pbFlag;
    }
    ~CDefaultRequestScope() { m_pbSlot = m_pbSaved; }
    CDefaultRequestScope(const CDefaultRequestScope&) = delete;
    CDefaultRequestScope& operator=(const CDefaultRequestScope&) = delete;

private:
    BOOL*& m_pbSlot;
    BOOL* m_pbSaved;
};

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
    return ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate),
        FindOwner(), &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::OnInitDialog()
{
    return TRUE;
}

void CDialog::EndDialog(int nResult)
{
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
    if (message == WM_INITDIALOG) {
        CDialog* pDlg = reinterpret_cast<CDialog*>(lParam);
        pDlg->m_hWnd = hDlg;
        ::SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
    }
    // Messages before WM_INITDIALOG (WM_SETFONT) find no object yet.
    CDialog* pDlg = DialogFromHandle(hDlg);
    if (pDlg == nullptr)
        return FALSE;
    return pDlg->HandleMessage(hDlg, message, wParam, lParam);
}

INT_PTR CDialog::HandleMessage(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        return OnInitDialog();

    BOOL bDefaultRequested = FALSE;
    LRESULT lResult = 0;
    BOOL bHandled;
    {
        CDefaultRequestScope scope(m_pbDefaultRequested, &bDefaultRequested);
        bHandled = Dispatch(message, wParam, lParam, &lResult);
    }
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hDlg, DWLP_USER, 0);
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

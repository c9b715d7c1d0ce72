// CWnd: thin wrappers over the window functions, routed controls, and the
// paint DC.
#include "afx/afxwin.h"
#include "afx/afximpl.h"

namespace {

// The objects that route this thread's controls. Kept here rather than in
// the window's GWLP_USERDATA, which any process may overwrite.
std::map<HWND, CWnd*>& SubclassedWindows()
{
    thread_local std::map<HWND, CWnd*> s_windows;
    return s_windows;
}

} // namespace

CWnd::~CWnd()
{
    UnsubclassWindow();
    // A main window that dies with its object must not stay visible to
    // other code (the application builds its main dialog on the stack).
    CWinApp* pApp = AfxGetApp();
    if (pApp != nullptr && pApp->m_pMainWnd == this)
        pApp->m_pMainWnd = nullptr;
}

HWND CWnd::GetSafeHwnd() const
{
    return m_hWnd;
}

CWnd* CWnd::GetDlgItem(int nID) const
{
    HWND hItem = ::GetDlgItem(m_hWnd, nID);
    if (hItem == nullptr)
        return nullptr;
    std::unique_ptr<CWnd>& pItem = m_itemWrappers[nID];
    if (!pItem)
        pItem = std::make_unique<CWnd>();
    pItem->m_hWnd = hItem; // the control may have been recreated
    return pItem.get();
}

int CWnd::GetWindowText(LPSTR lpszString, int nMaxCount) const
{
    return ::GetWindowTextA(m_hWnd, lpszString, nMaxCount);
}

void CWnd::SetWindowText(LPCSTR lpszString)
{
    ::SetWindowTextA(m_hWnd, lpszString);
}

int CWnd::GetDlgItemText(int nID, LPSTR lpStr, int nMaxCount) const
{
    return static_cast<int>(::GetDlgItemTextA(m_hWnd, nID, lpStr, nMaxCount));
}

void CWnd::SetDlgItemInt(int nID, UINT nValue, BOOL bSigned)
{
    ::SetDlgItemInt(m_hWnd, nID, nValue, bSigned);
}

void CWnd::MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint)
{
    ::MoveWindow(m_hWnd, x, y, nWidth, nHeight, bRepaint);
}

void CWnd::GetClientRect(LPRECT lpRect) const
{
    ::GetClientRect(m_hWnd, lpRect);
}

BOOL CWnd::IsIconic() const
{
    return ::IsIconic(m_hWnd);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

int CWnd::MessageBox(LPCSTR lpszText, LPCSTR lpszCaption, UINT nType)
{
    return ::MessageBoxA(m_hWnd, lpszText, lpszCaption, nType);
}

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon)
{
    const WPARAM size = bBigIcon ? ICON_BIG : ICON_SMALL;
    return reinterpret_cast<HICON>(
        ::SendMessageA(m_hWnd, WM_SETICON, size, reinterpret_cast<LPARAM>(hIcon)));
}

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd* pParent)
{
    // A control that died unrouted (its dialog ended by WM_QUIT) is forgotten.
    if (m_pfnSuper != nullptr && !::IsWindow(m_hWnd))
        UnsubclassWindow();
    if (m_pfnSuper != nullptr || pParent == nullptr)
        return FALSE;
    const HWND hWnd = ::GetDlgItem(pParent->m_hWnd, static_cast<int>(nID));
    if (hWnd == nullptr)
        return FALSE;
    // Entered first: the control's next message may come at once.
    SubclassedWindows()[hWnd] = this;
    m_hWnd = hWnd;
    m_pfnSuper = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::SubclassWndProc)));
    if (m_pfnSuper == nullptr) {
        SubclassedWindows().erase(hWnd);
        m_hWnd = nullptr;
        return FALSE;
    }
    return TRUE;
}

HWND CWnd::UnsubclassWindow()
{
    if (m_pfnSuper == nullptr)
        return nullptr;
    const HWND hWnd = m_hWnd;
    // A handle that no longer routes through here (its window destroyed, the
    // handle perhaps reused) keeps the procedure it has.
    const auto current = reinterpret_cast<WNDPROC>(::GetWindowLongPtrA(hWnd, GWLP_WNDPROC));
    if (::IsWindow(hWnd) && current == &CWnd::SubclassWndProc)
        ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    auto& windows = SubclassedWindows();
    const auto found = windows.find(hWnd);
    if (found != windows.end() && found->second == this)
        windows.erase(found);
    m_pfnSuper = nullptr;
    m_hWnd = nullptr;
    return hWnd;
}

LRESULT CALLBACK CWnd::SubclassWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    const auto& windows = SubclassedWindows();
    const auto found = windows.find(hWnd);
    if (found == windows.end())
        return ::DefWindowProcA(hWnd, message, wParam, lParam);
    return found->second->HandleSubclassedMessage(message, wParam, lParam);
}

LRESULT CWnd::HandleSubclassedMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    const HWND hWnd = m_hWnd;
    const WNDPROC pfnSuper = m_pfnSuper; // a handler may give the control back
    BOOL bDefaultRequested = FALSE;
    LRESULT lResult = 0;
    BOOL bHandled;
    {
        CDefaultRequestScope scope(m_pbDefaultRequested, &bDefaultRequested);
        bHandled = OnWndMsg(message, wParam, lParam, &lResult);
    }
    if (!bHandled || bDefaultRequested)
        return ::CallWindowProcA(pfnSuper, hWnd, message, wParam, lParam);
    return lResult;
}

LRESULT CWnd::Default()
{
    if (m_pbDefaultRequested != nullptr)
        *m_pbDefaultRequested = TRUE;
    return 0;
}

void CWnd::OnDestroy()
{
    Default();
}

void CWnd::DetachWindow()
{
    m_hWnd = nullptr;
    for (auto& item : m_itemWrappers)
        item.second->m_hWnd = nullptr;
    // Other threads find the main window through the application: a
    // destroyed one must not be found.
    CWinApp* pApp = AfxGetApp();
    if (pApp != nullptr && pApp->m_pMainWnd == this)
        pApp->m_pMainWnd = nullptr;
}

// ---------------------------------------------------------------------------

HDC CDC::GetSafeHdc() const
{
    return m_hDC;
}

BOOL CDC::DrawIcon(int x, int y, HICON hIcon)
{
    return ::DrawIcon(m_hDC, x, y, hIcon);
}

CPaintDC::CPaintDC(CWnd* pWnd)
    : m_hWnd(pWnd->GetSafeHwnd())
{
    m_hDC = ::BeginPaint(m_hWnd, &m_ps);
}

CPaintDC::~CPaintDC()
{
    ::EndPaint(m_hWnd, &m_ps);
}

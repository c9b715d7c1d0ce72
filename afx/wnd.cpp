// CWnd: thin wrappers over the window functions, and the paint DC.
#include "afx/afxwin.h"

CWnd::~CWnd()
{
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

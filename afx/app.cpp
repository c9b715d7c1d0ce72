// CWinApp, the global Afx functions and the framework's WinMain body.
#include "afx/afxwin.h"

namespace {

// Zero-initialised before any constructor runs, so the application
// object's constructor may register itself during static initialisation.
CWinApp* g_pApp = nullptr;

// The program file's name without folder and extension ("orlavent").
void ModuleTitle(char* pszTitle, DWORD cchTitle)
{
    char szPath[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    const char* pszName = szPath;
    for (const char* p = szPath; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/')
            pszName = p + 1;
    }
    lstrcpynA(pszTitle, pszName, static_cast<int>(cchTitle));
    char* pszDot = nullptr;
    for (char* p = pszTitle; *p != '\0'; ++p) {
        if (*p == '.')
            pszDot = p;
    }
    if (pszDot != nullptr)
        *pszDot = '\0';
}

} // namespace

CWinApp::CWinApp(LPCSTR lpszAppName)
    : m_hInstance(::GetModuleHandleA(nullptr)), m_pszAppName(lpszAppName)
{
    if (m_pszAppName == nullptr) {
        ModuleTitle(m_szModuleTitle, sizeof(m_szModuleTitle));
        m_pszAppName = m_szModuleTitle;
    }
    g_pApp = this;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

BOOL CWinApp::InitInstance()
{
    return TRUE;
}

int CWinApp::Run()
{
    m_bRunning = TRUE;
    MSG msg;
    BOOL bResult;
    while ((bResult = ::GetMessageA(&msg, nullptr, 0, 0)) != 0 && bResult != -1) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    m_bRunning = FALSE;
    if (bResult == 0)
        m_nExitCode = static_cast<int>(msg.wParam);
    return ExitInstance();
}

int CWinApp::ExitInstance()
{
    return m_nExitCode;
}

CWnd* CWinApp::GetMainWnd()
{
    // Other threads read the pointer too (the capture reader looks up the
    // main window); an aligned pointer load is atomic on x86, and the
    // volatile read keeps the compiler from caching it.
    return *static_cast<CWnd* volatile*>(&m_pMainWnd);
}

HICON CWinApp::LoadIcon(UINT nIDResource) const
{
    return ::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(nIDResource));
}

BOOL CWinApp::Enable3dControls()
{
    return TRUE;
}

void CWinApp::OnHelp()
{
}

// The application ends with its main window, as in MFC; a modal main
// dialog run from InitInstance needs no quit message.
void CWinApp::OnMainWndDestroyed()
{
    m_pMainWnd = nullptr;
    if (m_bRunning)
        ::PostQuitMessage(0);
}

// ---------------------------------------------------------------------------

CWinApp* AfxGetApp()
{
    return *static_cast<CWinApp* volatile*>(&g_pApp);
}

CWnd* AfxGetMainWnd()
{
    CWinApp* pApp = AfxGetApp();
    return pApp != nullptr ? pApp->GetMainWnd() : nullptr;
}

HINSTANCE AfxGetInstanceHandle()
{
    CWinApp* pApp = AfxGetApp();
    return pApp != nullptr ? pApp->m_hInstance : ::GetModuleHandleA(nullptr);
}

// Resources live in the program file itself.
HINSTANCE AfxGetResourceHandle()
{
    return AfxGetInstanceHandle();
}

void AfxEnableControlContainer()
{
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    CWinApp* pApp = AfxGetApp();
    if (pApp == nullptr)
        return -1;
    pApp->m_hInstance = hInstance;
    if (!pApp->InitInstance())
        return pApp->ExitInstance();
    return pApp->Run();
}

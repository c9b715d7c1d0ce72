// CWinApp, the global Afx functions and the framework's WinMain body.
#include "afx/afxwin.h"

namespace {

// Zero-initialised before any constructor runs, so the application
// object's constructor may register itself during static initialisation.
CWinApp* g_pApp = nullptr;

} // namespace

CWinApp::CWinApp()
    : m_hInstance(::GetModuleHandleA(nullptr))
{
    g_pApp = this;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

BOOL CWinApp::InitInstance()
{
    return FALSE;
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
    // The main window ran modally inside InitInstance: nothing is left to run.
    pApp->InitInstance();
    return 0;
}

#include "app/capture_app.h"

#include "app/capture_dlg.h"

BEGIN_MESSAGE_MAP(CCaptureApp, CWinApp)
    ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

CCaptureApp::CCaptureApp() = default;

CCaptureApp theApp;

BOOL CCaptureApp::InitInstance()
{
    AfxEnableControlContainer();
    Enable3dControls();

    CCaptureDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();

    // The dialog (and its device link) is destroyed on return; FALSE ends
    // the program without a message loop of its own.
    return FALSE;
}

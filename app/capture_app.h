// capture_app.h - CCaptureApp, the application object: runs the main
// window as a modal dialog and ends when it closes.
#pragma once

#include "afx/afxwin.h"

class CCaptureApp : public CWinApp {
public:
    CCaptureApp();

    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};

// capture_dlg.h - CCaptureDlg, the main window: "Device Connect", "Show
// Image"/"Stop", "Exit", and the live picture painted from the reader's
// chunks.
#pragma once

#include "afx/afxwin.h"
#include "device/image_device.h"
#include "display/live_picture.h"
#include "res/resource.h"

class CCaptureDlg : public CDialog {
public:
    explicit CCaptureDlg(CWnd* pParent = nullptr);
    // Stops a capture still running, however the window ended.
    ~CCaptureDlg() override;

    enum { IDD = IDD_MAIN };

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;     // "Device Connect", and the Enter key
    void OnCancel() override; // "Exit", the Escape key and the close box

    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg void OnShowImage();
    afx_msg void OnInitialMode();
    afx_msg LRESULT OnChunkReady(WPARAM wParam, LPARAM lParam);
    afx_msg LRESULT OnPaintTimer(WPARAM wParam, LPARAM lParam);
    afx_msg void OnDestroy();
    afx_msg BOOL OnQueryEndSession();
    afx_msg void OnEndSession(BOOL bEnding);
    afx_msg LRESULT OnCaptureProblem(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()

    // Protected rather than private so that tests can observe them.
    HICON m_hIcon;
    // Before the device: its reader hands chunks to the picture's queue.
    CLivePicture m_picture;
    CImageDevice m_device;
    SensorSettings m_settings;

private:
    void PlacePicture();
    void StartShowing(CWnd* button);
    void StopShowing(DWORD drainMs = STOP_DRAIN_MS);
    void TellCaptureProblems();

    BOOL m_bTellingProblems = FALSE;
};

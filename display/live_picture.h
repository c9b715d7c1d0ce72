// live_picture.h - CLivePicture, the main window's live picture: the queue
// of chunks the capture reader hands over, the painter that paints them off
// the screen, and the picture control, whose messages it routes.
//
// The window gives Queue() to the device before a capture and calls
// PaintQueuedChunks from its timer. Painting chunks only invalidates the
// control; the control draws the shown picture in its own WM_PAINT, so the
// picture survives repaints, minimising and moves, and stays after a
// capture ends. Until the first picture the control paints as it would.
#pragma once

#include "afx/afxwin.h"
#include "device/chunk_notice.h"
#include "display/frame_painter.h"

// A stream that brings no marker in three pictures' worth of bytes is
// shown as it stands: a sensor without markers still shows what came.
// One that brings markers is shown only as whole pictures, however slowly
// they come.
constexpr DWORD MARKERLESS_SHOW_BYTES = 3 * (PICTURE_WIDTH * PICTURE_HEIGHT + FRAME_MARKER_LENGTH);
// With no whole picture shown for this long, the next picture that lost
// bytes is shown as it is: a stream that loses bytes in every picture
// does not freeze the screen.
constexpr ULONGLONG DAMAGED_SHOW_MS = 100;

class CLivePicture : public CWnd {
public:
    CLivePicture();

    CChunkQueue& Queue() { return m_queue; }
    const CFramePainter& Painter() const { return m_painter; }

    // At the start and the end of a capture: chunks still waiting are
    // dropped, with their announcements to hwndAnnounced, and the cursor
    // goes back to the top left. The picture shown stays until the next
    // stream's first whole one.
    void Restart(HWND hwndAnnounced);

    // Paints every waiting chunk, in read order, and invalidates the
    // control when there is a new picture to show. TRUE when chunks came:
    // the reader then announces nothing until the next call.
    BOOL PaintQueuedChunks(ULONGLONG nowMs);

protected:
    afx_msg void OnPaint();

    DECLARE_MESSAGE_MAP()

private:
    CChunkQueue m_queue;
    CFramePainter m_painter;
    BOOL m_bStreaming;        // a chunk has come since the restart
    ULONGLONG m_lastShownMs;  // a picture was last given to the screen, or that first chunk
};

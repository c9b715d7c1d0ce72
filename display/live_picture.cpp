#include "display/live_picture.h"

BEGIN_MESSAGE_MAP(CLivePicture, CWnd)
    ON_WM_PAINT()
END_MESSAGE_MAP()

CLivePicture::CLivePicture() : m_bStreaming(FALSE), m_lastShownMs(0) {}

void CLivePicture::Restart(HWND hwndAnnounced)
{
    m_queue.Discard(hwndAnnounced);
    m_painter.Restart();
    m_bStreaming = FALSE;
}

BOOL CLivePicture::PaintQueuedChunks(ULONGLONG nowMs)
{
    const DWORD shownBefore = m_painter.PicturesShown();
    const ChunkBatch chunks = m_queue.TakeAll();
    if (chunks.empty())
        return FALSE;
    m_queue.HoldAnnouncements();
    // A device's start takes its time: the clock starts with the stream.
    if (!m_bStreaming)
        m_lastShownMs = nowMs;
    m_bStreaming = TRUE;
    // A stream whose pictures all lose bytes still shows them, rather than
    // freezing on the last whole one.
    m_painter.ShowDamagedPictures(nowMs - m_lastShownMs >= DAMAGED_SHOW_MS);
    for (const ChunkNoticePtr& notice : chunks)
        m_painter.PaintChunk(notice->bytes, notice->count);
    if (m_painter.BytesSinceMarker() >= MARKERLESS_SHOW_BYTES)
        m_painter.ShowAsItStands();
    // Without a control (never routed, or gone) there is nothing to draw on;
    // a null handle would invalidate every window.
    if (m_painter.PicturesShown() != shownBefore) {
        m_lastShownMs = nowMs;
        if (m_hWnd)
            ::InvalidateRect(m_hWnd, nullptr, FALSE);
    }
    return TRUE;
}

// The picture covers the whole client area (the sunken edge hides its last
// row), so nothing is erased under it.
void CLivePicture::OnPaint()
{
    if (!m_painter.HasPicture()) {
        Default();
        return;
    }
    CPaintDC dc(this);
    m_painter.DrawShown(dc.GetSafeHdc());
}

// frame_painter.h - paints the sensor's picture stream onto a window.
//
// The stream is grey-level bytes; the marker FF FF 00 FF 80 60 starts each
// 128 x 96 picture. Each pixel byte is painted as a 4 x 4 block at
// (4 x column, 4 x row) of the window's client area; the cursor (row,
// column) carries from chunk to chunk and wraps from the last pixel to the
// first. Nothing is kept between chunks but the cursor.
#pragma once

#include <windows.h>

constexpr WORD PICTURE_WIDTH = 128;
constexpr WORD PICTURE_HEIGHT = 96;
constexpr int PICTURE_SCALE = 4;
constexpr UINT FRAME_MARKER_LENGTH = 6;

extern const BYTE FRAME_MARKER[FRAME_MARKER_LENGTH];

// Nonzero when the six bytes at `bytes` are the frame marker.
BOOL IsFrameMarker(const BYTE* bytes);

// Paints `count` stream bytes onto the client area of hwndPicture and
// advances the cursor, drawn or not. A marker counts only when its six
// bytes lie within the `count` bytes given.
void PaintChunk(HWND hwndPicture, const BYTE* chunk, UINT count, WORD& nRow, WORD& nCol);

// The same onto a client-area drawing context the caller holds, so that a
// batch of chunks takes one context; with none (null) only the cursor moves.
void PaintChunk(HDC hdcPicture, const BYTE* chunk, UINT count, WORD& nRow, WORD& nCol);

// The client area's drawing context (GetDC, not GetWindowDC), released with
// the object; none for no window.
class CClientAreaDC {
public:
    explicit CClientAreaDC(HWND hwnd) : m_hwnd(hwnd), m_hdc(hwnd ? GetDC(hwnd) : nullptr) {}
    ~CClientAreaDC()
    {
        if (m_hdc)
            ReleaseDC(m_hwnd, m_hdc);
    }
    CClientAreaDC(const CClientAreaDC&) = delete;
    CClientAreaDC& operator=(const CClientAreaDC&) = delete;

    HDC Get() const { return m_hdc; }

private:
    HWND m_hwnd;
    HDC m_hdc;
};

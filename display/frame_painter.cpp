#include "display/frame_painter.h"

const BYTE FRAME_MARKER[FRAME_MARKER_LENGTH] = {0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60};

BOOL IsFrameMarker(const BYTE* bytes)
{
    for (UINT i = 0; i < FRAME_MARKER_LENGTH; ++i) {
        if (bytes[i] != FRAME_MARKER[i])
            return FALSE;
    }
    return TRUE;
}

namespace {

// Pixels of one row segment, magnified: 4 identical lines of 4 x 128
// 32-bit pixels. Blitting a segment at a time paints exactly the pixels a
// block-by-block painter would, with one drawing call per segment instead
// of sixteen per byte.
class CRowSegment {
public:
    CRowSegment() : m_row(0), m_firstCol(0), m_length(0) {}

    bool IsEmpty() const { return m_length == 0; }

    void Begin(WORD row, WORD col)
    {
        m_row = row;
        m_firstCol = col;
        m_length = 0;
    }

    void Add(BYTE grey)
    {
        const DWORD rgb = grey | (grey << 8) | (grey << 16);
        DWORD* line = m_bits[0] + m_length * PICTURE_SCALE;
        for (int i = 0; i < PICTURE_SCALE; ++i)
            line[i] = rgb;
        ++m_length;
    }

    // Without a drawing surface the segment is dropped: the cursor has
    // moved over it all the same.
    void Flush(HDC hdc)
    {
        if (IsEmpty() || !hdc) {
            m_length = 0;
            return;
        }
        const int width = m_length * PICTURE_SCALE;
        for (int line = 1; line < PICTURE_SCALE; ++line)
            CopyMemory(m_bits[line], m_bits[0], width * sizeof(DWORD));

        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = PICTURE_WIDTH * PICTURE_SCALE; // the stride of m_bits
        info.bmiHeader.biHeight = -PICTURE_SCALE;               // top-down
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        SetDIBitsToDevice(hdc, m_firstCol * PICTURE_SCALE, m_row * PICTURE_SCALE, width, PICTURE_SCALE,
                          0, 0, 0, PICTURE_SCALE, m_bits, &info, DIB_RGB_COLORS);
        m_length = 0;
    }

private:
    WORD m_row;
    WORD m_firstCol;
    int m_length;
    DWORD m_bits[PICTURE_SCALE][PICTURE_WIDTH * PICTURE_SCALE];
};

void AdvanceCursor(WORD& nRow, WORD& nCol)
{
    if (++nCol < PICTURE_WIDTH)
        return;
    nCol = 0;
    if (++nRow >= PICTURE_HEIGHT)
        nRow = 0;
}

} // namespace

void PaintChunk(HWND hwndPicture, const BYTE* chunk, UINT count, WORD& nRow, WORD& nCol)
{
    CClientAreaDC dc(hwndPicture);
    PaintChunk(dc.Get(), chunk, count, nRow, nCol);
}

void PaintChunk(HDC hdc, const BYTE* chunk, UINT count, WORD& nRow, WORD& nCol)
{
    // With no surface (a window gone, or no DC to be had) nothing is drawn
    // but the cursor still walks the chunk, so the picture stays in step.
    CRowSegment segment;
    segment.Begin(nRow, nCol);
    for (UINT o = 0; o < count;) {
        if (o + FRAME_MARKER_LENGTH <= count && IsFrameMarker(chunk + o)) {
            segment.Flush(hdc);
            nRow = 0;
            nCol = 0;
            segment.Begin(nRow, nCol);
            o += FRAME_MARKER_LENGTH;
            continue;
        }
        segment.Add(chunk[o++]);
        AdvanceCursor(nRow, nCol);
        if (nCol == 0) { // the row is complete
            segment.Flush(hdc);
            segment.Begin(nRow, nCol);
        }
    }
    segment.Flush(hdc);
}

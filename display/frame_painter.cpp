#include "display/frame_painter.h"

#include <algorithm>
#include <cstring>

BOOL IsFrameMarker(const BYTE* bytes)
{
    for (UINT i = 0; i < FRAME_MARKER_LENGTH; ++i) {
        if (bytes[i] != FRAME_MARKER[i])
            return FALSE;
    }
    return TRUE;
}

namespace {

constexpr UINT PICTURE_BYTES = PICTURE_WIDTH * PICTURE_HEIGHT;
constexpr int GREY_LEVELS = 256;

// Bytes before the first marker that lies whole within the `count` bytes
// (all of them if none does).
UINT BytesBeforeMarker(const BYTE* bytes, UINT count)
{
    if (count < FRAME_MARKER_LENGTH)
        return count;
    const UINT lastStart = count - FRAME_MARKER_LENGTH;
    for (UINT o = 0; o <= lastStart; ++o) {
        const void* lead = std::memchr(bytes + o, FRAME_MARKER[0], lastStart + 1 - o);
        if (!lead)
            break;
        o = static_cast<UINT>(static_cast<const BYTE*>(lead) - bytes);
        if (IsFrameMarker(bytes + o))
            return o;
    }
    return count;
}

} // namespace

CGreyPicture::CGreyPicture() : m_info(), m_hBitmap(nullptr), m_pBits(nullptr)
{
    m_info.bmiHeader.biSize = sizeof(m_info.bmiHeader);
    m_info.bmiHeader.biWidth = PICTURE_WIDTH; // a multiple of 4: rows need no padding
    m_info.bmiHeader.biHeight = -PICTURE_HEIGHT; // top-down
    m_info.bmiHeader.biPlanes = 1;
    m_info.bmiHeader.biBitCount = 8;
    m_info.bmiHeader.biCompression = BI_RGB;
    m_info.bmiHeader.biClrUsed = GREY_LEVELS;
    for (int level = 0; level < GREY_LEVELS; ++level) {
        const BYTE grey = static_cast<BYTE>(level);
        m_info.bmiColors[level] = {grey, grey, grey, 0};
    }
    void* bits = nullptr;
    m_hBitmap = CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(&m_info), DIB_RGB_COLORS, &bits,
                                 nullptr, 0);
    if (m_hBitmap && bits) {
        m_pBits = static_cast<BYTE*>(bits);
        ZeroMemory(m_pBits, PICTURE_BYTES);
    }
}

CGreyPicture::~CGreyPicture()
{
    if (m_hBitmap)
        DeleteObject(m_hBitmap);
}

void CGreyPicture::CopyFrom(const CGreyPicture& other)
{
    if (m_pBits && other.m_pBits)
        CopyMemory(m_pBits, other.m_pBits, PICTURE_BYTES);
}

BOOL CGreyPicture::Draw(HDC hdc) const
{
    if (!hdc || !m_pBits)
        return FALSE;
    return StretchDIBits(hdc, 0, 0, PICTURE_WIDTH * PICTURE_SCALE, PICTURE_HEIGHT * PICTURE_SCALE, 0, 0,
                         PICTURE_WIDTH, PICTURE_HEIGHT, m_pBits, reinterpret_cast<const BITMAPINFO*>(&m_info),
                         DIB_RGB_COLORS, SRCCOPY) != 0;
}

CFramePainter::CFramePainter()
    : m_nRow(0), m_nCol(0), m_bFramed(FALSE), m_nPictureBytes(0), m_bUnshown(FALSE), m_nShown(0),
      m_bShowDamaged(FALSE)
{
}

BOOL CFramePainter::PaintChunk(const BYTE* chunk, UINT count)
{
    BOOL markerCame = FALSE;
    for (UINT o = 0; o < count;) {
        const UINT run = BytesBeforeMarker(chunk + o, count - o);
        Put(chunk + o, run);
        o += run;
        if (o < count) {
            StartPicture();
            markerCame = TRUE;
            o += FRAME_MARKER_LENGTH;
        }
    }
    return markerCame;
}

// Without a picture (none could be made) the cursor still walks the bytes,
// so it stays in step with the stream.
void CFramePainter::Put(const BYTE* bytes, UINT count)
{
    BYTE* const bits = m_painting.Bits();
    m_bUnshown = m_bUnshown || count > 0;
    m_nPictureBytes = count > MAXDWORD - m_nPictureBytes ? MAXDWORD : m_nPictureBytes + count;
    while (count > 0) {
        const UINT run = std::min<UINT>(count, PICTURE_WIDTH - m_nCol);
        if (bits)
            CopyMemory(bits + m_nRow * PICTURE_WIDTH + m_nCol, bytes, run);
        bytes += run;
        count -= run;
        m_nCol = static_cast<WORD>(m_nCol + run);
        if (m_nCol == PICTURE_WIDTH) {
            m_nCol = 0;
            if (++m_nRow == PICTURE_HEIGHT)
                m_nRow = 0;
        }
    }
}

// Bytes lost on the way (a full queue, a sensor that dropped some) leave a
// picture short and its rows shifted; a lost marker leaves two pictures in
// one. Neither is shown while whole pictures come; once none has for a
// while, such a picture is shown as it is, so that a stream that loses
// bytes all the time does not freeze the screen.
void CFramePainter::StartPicture()
{
    if (m_bFramed && (m_nPictureBytes == PICTURE_BYTES || m_bShowDamaged))
        Show();
    m_bFramed = TRUE;
    m_nPictureBytes = 0;
    m_nRow = 0;
    m_nCol = 0;
}

BOOL CFramePainter::ShowAsItStands()
{
    if (!m_bUnshown)
        return FALSE;
    Show();
    return TRUE;
}

void CFramePainter::Show()
{
    m_shown.CopyFrom(m_painting);
    m_bUnshown = FALSE;
    ++m_nShown;
}

void CFramePainter::Restart()
{
    m_nRow = 0;
    m_nCol = 0;
    m_bFramed = FALSE;
    m_nPictureBytes = 0;
}

BOOL CFramePainter::DrawShown(HDC hdc) const
{
    return HasPicture() && m_shown.Draw(hdc);
}

// frame_painter.h - paints the sensor's picture stream off the screen.
//
// The stream is grey-level bytes; the marker FF FF 00 FF 80 60 starts each
// 128 x 96 picture. The painter writes each pixel byte into an off-screen
// picture at its cursor (row, column); the cursor carries from chunk to
// chunk, wraps from the last pixel to the first, and a marker puts it back
// at the top left. The screen is given each whole picture (exactly 128 x 96
// bytes from one marker to the next) as it stood at its closing marker, so
// that it never shows parts of two pictures, nor, while whole ones come, a
// picture that lost bytes with its rows shifted; drawing that is one blit,
// each byte a 4 x 4 block of its exact grey.
#pragma once

#include <windows.h>

#include "stream/stream_format.h"

constexpr WORD PICTURE_WIDTH = stream_format::PICTURE_WIDTH;
constexpr WORD PICTURE_HEIGHT = stream_format::PICTURE_HEIGHT;
constexpr int PICTURE_SCALE = 4;
constexpr UINT FRAME_MARKER_LENGTH = stream_format::MARKER_LENGTH;
constexpr const BYTE* FRAME_MARKER = stream_format::MARKER;

// Nonzero when the six bytes at `bytes` are the frame marker.
BOOL IsFrameMarker(const BYTE* bytes);

// A 128 x 96 DIB section of 8-bit grey (its colour table is the 256 greys,
// so each byte is its own grey level), top row first. Without bits when it
// could not be made.
class CGreyPicture {
public:
    CGreyPicture();
    ~CGreyPicture();
    CGreyPicture(const CGreyPicture&) = delete;
    CGreyPicture& operator=(const CGreyPicture&) = delete;

    BYTE* Bits() const { return m_pBits; }
    void CopyFrom(const CGreyPicture& other);
    // Onto hdc at its origin, PICTURE_SCALE times as large, in one call.
    BOOL Draw(HDC hdc) const;

private:
    struct GreyBitmapInfo {
        BITMAPINFOHEADER bmiHeader;
        RGBQUAD bmiColors[256];
    };

    GreyBitmapInfo m_info;
    HBITMAP m_hBitmap;
    BYTE* m_pBits;
};

class CFramePainter {
public:
    CFramePainter();

    // Paints `count` stream bytes at the cursor and moves it on. A marker
    // counts only when its six bytes lie within the `count` bytes given.
    // TRUE if a marker came.
    BOOL PaintChunk(const BYTE* chunk, UINT count);

    // Gives the screen the picture as it stands, unfinished or not: for a
    // stream that brings no marker. FALSE if nothing new was painted.
    BOOL ShowAsItStands();

    // Whether a picture that lost bytes is shown at its closing marker.
    void ShowDamagedPictures(BOOL bShow) { m_bShowDamaged = bShow; }

    // A new stream: the cursor goes back to the top left. What comes before
    // its first marker is the tail of a picture, so the picture shown stays
    // until the stream's first whole one.
    void Restart();

    // TRUE once there is a picture to show.
    BOOL HasPicture() const { return m_nShown > 0 && m_shown.Bits() != nullptr; }
    // The shown picture onto hdc; FALSE (nothing drawn) without one.
    BOOL DrawShown(HDC hdc) const;

    // Pictures given to the screen so far; it changes when there is a new one.
    DWORD PicturesShown() const { return m_nShown; }
    BOOL HasUnshownBytes() const { return m_bUnshown; }
    // Bytes painted since the last marker, or since the restart.
    DWORD BytesSinceMarker() const { return m_nPictureBytes; }
    WORD Row() const { return m_nRow; }
    WORD Col() const { return m_nCol; }

private:
    void Put(const BYTE* bytes, UINT count);
    void StartPicture();
    void Show();

    CGreyPicture m_painting;
    CGreyPicture m_shown;
    WORD m_nRow;
    WORD m_nCol;
    BOOL m_bFramed;  // a marker of this stream has put the cursor at the top left
    DWORD m_nPictureBytes; // painted since that marker or the restart, up to MAXDWORD
    BOOL m_bUnshown; // bytes have been painted since the last show
    DWORD m_nShown;
    BOOL m_bShowDamaged;
};

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

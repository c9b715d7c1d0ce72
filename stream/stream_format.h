// stream_format.h - the sensor's stream as it is recorded: where the
// capture file lies, the marker that starts each picture and a picture's
// size. The program that records and the one that inspects read it here.
#pragma once

#include <windows.h>

#include <cstddef>

// Recreated at every capture; the raw stream, nothing added.
constexpr char CAPTURE_FILE_PATH[] = "C:\\1.txt";

namespace stream_format {

constexpr size_t PICTURE_WIDTH = 128;
constexpr size_t PICTURE_HEIGHT = 96;
constexpr size_t PICTURE_BYTES = PICTURE_WIDTH * PICTURE_HEIGHT;
constexpr size_t MARKER_LENGTH = 6;
// The last two bytes are the picture's width and height.
constexpr BYTE MARKER[MARKER_LENGTH] = {0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60};

} // namespace stream_format

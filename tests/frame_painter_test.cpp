// The frame painter on a real window and on one that is gone: where the
// cursor ends up, and the pixels read back. Every expectation is written
// out by hand, never derived from the painter's own code.
#include "display/frame_painter.h"
#include "tests/test_support.h"

using testing_support::CClientPixels;
using testing_support::CTestWindow;

namespace {

const std::vector<BYTE> MARKER = {0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60};
constexpr COLORREF BACKGROUND = RGB(1, 2, 3); // never a grey level

// 512 bytes of grey 0x40 with `put` written at `at`.
std::vector<BYTE> Chunk(size_t at, const std::vector<BYTE>& put)
{
    std::vector<BYTE> chunk(512, 0x40);
    std::copy(put.begin(), put.end(), chunk.begin() + at);
    return chunk;
}

std::vector<BYTE> Altered(size_t i)
{
    std::vector<BYTE> marker = MARKER;
    marker[i] ^= 0x01;
    return marker;
}

// A gone window gives no drawing surface; the cursor must walk the chunk
// all the same, or the picture is out of step until the next marker.
TEST(FramePainter, MarkersPlaceTheCursorWithOrWithoutASurface)
{
    const struct {
        const char* name;
        WORD row, col;
        std::vector<BYTE> chunk;
        UINT count;
        WORD endRow, endCol;
    } cases[] = {
        {"marker at the start", 50, 7, Chunk(0, MARKER), 512, 3, 122},
        {"marker inside", 0, 0, Chunk(300, MARKER), 512, 1, 78},
        {"marker in the last six bytes", 10, 10, Chunk(506, MARKER), 512, 0, 0},
        {"marker cut off by the chunk's end", 0, 0, Chunk(507, {0xFF, 0xFF, 0x00, 0xFF, 0x80}), 512, 4, 0},
        {"marker cut off by a short read", 0, 0, Chunk(96, MARKER), 100, 0, 100},
        {"no bytes", 5, 7, Chunk(0, MARKER), 0, 5, 7},
        {"two rows and 51 columns on", 5, 7, Chunk(0, {}), 300, 7, 51},
        {"wrap from the last pixel", 95, 127, Chunk(0, {}), 2, 0, 1},
        {"byte 0 altered", 0, 0, Chunk(0, Altered(0)), 512, 4, 0},
        {"byte 1 altered", 0, 0, Chunk(0, Altered(1)), 512, 4, 0},
        {"byte 2 altered", 0, 0, Chunk(0, Altered(2)), 512, 4, 0},
        {"byte 3 altered", 0, 0, Chunk(0, Altered(3)), 512, 4, 0},
        {"byte 4 altered", 0, 0, Chunk(0, Altered(4)), 512, 4, 0},
        {"byte 5 altered", 0, 0, Chunk(0, Altered(5)), 512, 4, 0},
    };
    CTestWindow window(512, 384);
    const HWND gone = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 8, 8, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    ASSERT_EQ(nullptr, GetDC(gone));
    for (const HWND hwnd : {window.Get(), gone}) {
        for (const auto& c : cases) {
            WORD row = c.row, col = c.col;
            PaintChunk(hwnd, c.chunk.data(), c.count, row, col);
            EXPECT_EQ(c.endRow, row) << c.name << (hwnd == gone ? ", no surface" : "");
            EXPECT_EQ(c.endCol, col) << c.name << (hwnd == gone ? ", no surface" : "");
        }
    }
}

// Each byte is a 4 x 4 block of its exact grey at (4 x column, 4 x row);
// marker bytes and bytes past the count are not painted.
TEST(FramePainter, PaintsEachByteAsAGreyBlockAtTheCursor)
{
    CTestWindow window(512, 384, BACKGROUND);
    WORD row = 0, col = 0;
    auto paint = [&](WORD atRow, WORD atCol, const std::vector<BYTE>& bytes, UINT count) {
        row = atRow;
        col = atCol;
        PaintChunk(window.Get(), bytes.data(), count, row, col);
    };
    paint(95, 127, {90, 91, 92}, 3); // 91 and 92 wrap to (0, 0) and (0, 1)
    paint(1, 0, {0, 128, 255, 1, 254}, 5);
    paint(1, 5, {7, 7, 0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60, 200}, 9); // 200 lands at (0, 0)
    paint(2, 0, {50, 51, 52}, 1);

    const struct {
        int row, col;
        COLORREF colour;
    } blocks[] = {
        {0, 0, RGB(200, 200, 200)}, {0, 1, RGB(92, 92, 92)}, {1, 0, RGB(0, 0, 0)},   {1, 1, RGB(128, 128, 128)},
        {1, 2, RGB(255, 255, 255)}, {1, 3, RGB(1, 1, 1)},    {1, 4, RGB(254, 254, 254)}, {1, 5, RGB(7, 7, 7)},
        {1, 6, RGB(7, 7, 7)},       {2, 0, RGB(50, 50, 50)}, {95, 127, RGB(90, 90, 90)},
    };
    std::vector<COLORREF> expected(512 * 384, BACKGROUND);
    for (const auto& b : blocks)
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                expected[(b.row * 4 + y) * 512 + b.col * 4 + x] = b.colour;

    const CClientPixels pixels(window.Get());
    ASSERT_EQ(512, pixels.Width());
    ASSERT_EQ(384, pixels.Height());
    int mismatches = 0;
    for (int y = 0; y < 384; ++y)
        for (int x = 0; x < 512; ++x)
            if (pixels.At(x, y) != expected[y * 512 + x] && mismatches++ < 5)
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << pixels.At(x, y)
                              << ", expected " << expected[y * 512 + x];
    EXPECT_EQ(0, mismatches);
}

} // namespace

// The frame painter and the live picture: where the cursor ends up, which
// picture the screen is given and when, and the pixels read back from a
// window it was drawn on. Every expectation is written out by hand, never
// derived from the painter's own code.
#include "display/frame_painter.h"
#include "display/live_picture.h"
#include "tests/test_support.h"

using testing_support::CTestWindow;

namespace {

const std::vector<BYTE> MARKER = {0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60};
constexpr COLORREF BACKGROUND = RGB(1, 2, 3); // never a grey level
constexpr size_t PICTURE = 128 * 96;

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

std::vector<BYTE> Joined(std::initializer_list<std::vector<BYTE>> parts)
{
    std::vector<BYTE> joined;
    for (const std::vector<BYTE>& part : parts)
        joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

std::vector<BYTE> Grey(size_t count, BYTE level)
{
    return std::vector<BYTE>(count, level);
}

void Paint(CFramePainter& painter, const std::vector<BYTE>& bytes)
{
    painter.PaintChunk(bytes.data(), static_cast<UINT>(bytes.size()));
}

// The picture in the client area, one byte per 4 x 4 block, each block
// one grey throughout.
std::vector<BYTE> PictureIn(HWND hwnd)
{
    int strays = 0;
    const std::vector<BYTE> picture = testing_support::MagnifiedPicture(testing_support::CClientPixels(hwnd), strays);
    EXPECT_EQ(0, strays) << "pixels that are not their block's grey";
    return picture;
}

// The painter's shown picture, drawn on a window of its own.
std::vector<BYTE> Shown(const CFramePainter& painter)
{
    CTestWindow window(512, 384, BACKGROUND);
    const HDC hdc = GetDC(window.Get());
    EXPECT_TRUE(painter.DrawShown(hdc));
    ReleaseDC(window.Get(), hdc);
    return PictureIn(window.Get());
}

TEST(FramePainter, MarkersPlaceTheCursor)
{
    const struct {
        const char* name;
        WORD row, col;
        std::vector<BYTE> chunk;
        UINT count;
        WORD endRow, endCol;
        BOOL marker;
    } cases[] = {
        {"marker at the start", 50, 7, Chunk(0, MARKER), 512, 3, 122, TRUE},
        {"marker inside", 0, 0, Chunk(300, MARKER), 512, 1, 78, TRUE},
        {"marker in the last six bytes", 10, 10, Chunk(506, MARKER), 512, 0, 0, TRUE},
        {"two markers", 7, 0, Joined({Grey(10, 1), MARKER, Grey(20, 2), MARKER, Grey(3, 3)}), 45, 0, 3, TRUE},
        {"marker cut off by the chunk's end", 0, 0, Chunk(507, {0xFF, 0xFF, 0x00, 0xFF, 0x80}), 512, 4, 0, FALSE},
        {"marker cut off by a short read", 0, 0, Chunk(96, MARKER), 100, 0, 100, FALSE},
        {"no bytes", 5, 7, Chunk(0, MARKER), 0, 5, 7, FALSE},
        {"two rows and 51 columns on", 5, 7, Chunk(0, {}), 300, 7, 51, FALSE},
        {"wrap from the last pixel", 95, 127, Chunk(0, {}), 2, 0, 1, FALSE},
        {"byte 3 altered", 0, 0, Chunk(0, Altered(3)), 512, 4, 0, FALSE},
    };
    for (const auto& c : cases) {
        CFramePainter painter;
        Paint(painter, Grey(c.row * 128 + c.col, 0x20));
        ASSERT_EQ(c.row, painter.Row()) << c.name;
        ASSERT_EQ(c.col, painter.Col()) << c.name;
        EXPECT_EQ(c.marker, painter.PaintChunk(c.chunk.data(), c.count)) << c.name;
        EXPECT_EQ(c.endRow, painter.Row()) << c.name;
        EXPECT_EQ(c.endCol, painter.Col()) << c.name;
    }
    for (size_t i = 0; i < MARKER.size(); ++i)
        EXPECT_FALSE(CFramePainter().PaintChunk(Chunk(0, Altered(i)).data(), 512)) << "byte " << i << " altered";
}

// Every grey level, each byte a 4 x 4 block of exactly its grey at
// (4 x column, 4 x row), covering the window's 512 x 384 pixels.
TEST(FramePainter, DrawsEachByteAsABlockOfItsExactGrey)
{
    std::vector<BYTE> levels(PICTURE);
    for (size_t i = 0; i < PICTURE; ++i)
        levels[i] = static_cast<BYTE>(i % 256); // FF 00 follows FE: never a marker
    CFramePainter painter;
    EXPECT_FALSE(painter.HasPicture());
    Paint(painter, Joined({MARKER, levels, MARKER}));
    ASSERT_TRUE(painter.HasPicture());
    EXPECT_EQ(levels, Shown(painter));
}

// The screen is given each whole picture as it stood at its closing marker,
// never one half painted; the bytes before a stream's first marker are the
// tail of a picture, and a picture that lost bytes or ran into the next (a
// lost marker) is not whole. A picture can be shown as it stands on demand.
TEST(FramePainter, GivesTheScreenWholePicturesOnly)
{
    CFramePainter painter;
    Paint(painter, Joined({Grey(300, 9), MARKER, Grey(PICTURE / 2, 10)}));
    EXPECT_EQ(0u, painter.PicturesShown()) << "the tail before the first marker was shown";

    Paint(painter, Joined({Grey(PICTURE / 2, 10), MARKER, Grey(PICTURE / 2, 20)}));
    EXPECT_EQ(1u, painter.PicturesShown());
    EXPECT_EQ(Grey(PICTURE, 10), Shown(painter));
    EXPECT_TRUE(painter.HasUnshownBytes());

    EXPECT_TRUE(painter.ShowAsItStands());
    EXPECT_FALSE(painter.ShowAsItStands()) << "nothing new to show";
    const std::vector<BYTE> standing = Joined({Grey(PICTURE / 2, 20), Grey(PICTURE / 2, 10)});
    EXPECT_EQ(standing, Shown(painter));

    Paint(painter, Joined({MARKER, Grey(PICTURE - 1, 30), MARKER, Grey(PICTURE + 1, 31), MARKER}));
    EXPECT_EQ(2u, painter.PicturesShown()) << "a short or a long picture was shown";

    // A new stream: from the top left, and the last picture stays until the
    // new stream's first whole one.
    Paint(painter, Grey(PICTURE / 2, 50));
    painter.Restart();
    EXPECT_EQ(0, painter.Row());
    EXPECT_EQ(0, painter.Col());
    Paint(painter, Joined({Grey(100, 30), MARKER, Grey(PICTURE, 40)}));
    EXPECT_EQ(standing, Shown(painter));
    Paint(painter, MARKER);
    EXPECT_EQ(Grey(PICTURE, 40), Shown(painter));
}

// The live picture takes chunks through its queue (its control is drawn on
// a screen in e2e_test).
class LivePictureTest : public ::testing::Test {
protected:
    LivePictureTest() : m_parent(600, 450, BACKGROUND) {}

    void Queue(const std::vector<BYTE>& bytes)
    {
        for (size_t o = 0; o < bytes.size(); o += 512) {
            const DWORD count = static_cast<DWORD>(std::min<size_t>(512, bytes.size() - o));
            ASSERT_TRUE(m_picture.Queue().Post(m_parent.Get(), bytes.data() + o, count));
        }
    }

    CTestWindow m_parent;
    CLivePicture m_picture;
};

// A stream that brings no marker in three pictures' worth of bytes is
// shown as it stands; one that brings markers only as whole pictures,
// however slowly they come. The painting timer is wanted only while chunks
// come.
TEST_F(LivePictureTest, OnlyAStreamWithoutMarkersIsShownAsItStands)
{
    m_picture.Restart(m_parent.Get());
    EXPECT_FALSE(m_picture.PaintQueuedChunks(500)) << "nothing came";
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(0u, m_picture.Painter().PicturesShown()) << "shown within " << k << " pictures' worth";
        Queue(Grey(PICTURE + 6, 50));
        EXPECT_TRUE(m_picture.PaintQueuedChunks(1000 + k));
    }
    EXPECT_EQ(1u, m_picture.Painter().PicturesShown());
    EXPECT_FALSE(m_picture.PaintQueuedChunks(5000)) << "nothing came: nothing to wait for";

    Queue(MARKER);
    for (int k = 0; k < 4; ++k) { // a picture that takes seconds to come
        Queue(Grey(PICTURE / 4, 60));
        m_picture.PaintQueuedChunks(6000 + 1000 * k);
    }
    EXPECT_EQ(1u, m_picture.Painter().PicturesShown()) << "a slow picture was shown before its end";
    Queue(MARKER);
    m_picture.PaintQueuedChunks(11000);
    EXPECT_EQ(2u, m_picture.Painter().PicturesShown());
    EXPECT_EQ(Grey(PICTURE, 60), Shown(m_picture.Painter()));
}

// A stream that loses bytes in every picture still reaches the screen:
// such a picture is not shown while whole ones may still come, but once
// none has been shown for 100 ms the next one is, as it is, and the clock
// starts again.
TEST_F(LivePictureTest, AStreamThatLosesBytesInEveryPictureDoesNotFreezeTheScreen)
{
    m_picture.Restart(m_parent.Get());
    const std::vector<BYTE> damaged = Joined({MARKER, Grey(PICTURE - 1, 80)});
    Queue(Joined({damaged, damaged}));
    m_picture.PaintQueuedChunks(1000);
    Queue(damaged);
    m_picture.PaintQueuedChunks(1099);
    EXPECT_EQ(0u, m_picture.Painter().PicturesShown());
    Queue(damaged);
    m_picture.PaintQueuedChunks(1100);
    EXPECT_EQ(1u, m_picture.Painter().PicturesShown());
    Queue(damaged);
    m_picture.PaintQueuedChunks(1150);
    EXPECT_EQ(1u, m_picture.Painter().PicturesShown()) << "shown again before 100 ms";
}

} // namespace

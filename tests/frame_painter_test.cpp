// The frame painter on a real window: marker handling, the cursor, and the
// pixels read back from the screen.
#include <algorithm>
#include <array>

#include "display/frame_painter.h"
#include "tests/test_support.h"
#include "tests/window_capture.h"

using testing_support::CClientPixels;
using testing_support::CTestWindow;

namespace {

constexpr UINT CHUNK = 512;
constexpr int SURFACE_WIDTH = PICTURE_WIDTH * PICTURE_SCALE;
constexpr int SURFACE_HEIGHT = PICTURE_HEIGHT * PICTURE_SCALE;
constexpr COLORREF BACKGROUND = RGB(1, 2, 3); // never a grey level

// The painter as a plain model: the grey level each picture pixel should
// show (-1 where nothing was painted), walked byte by byte.
struct PictureModel {
    std::array<int, PICTURE_WIDTH * PICTURE_HEIGHT> levels;
    WORD row = 0;
    WORD col = 0;

    PictureModel() { levels.fill(-1); }

    void Feed(const BYTE* bytes, UINT count)
    {
        for (UINT o = 0; o < count;) {
            if (o + FRAME_MARKER_LENGTH <= count && IsFrameMarker(bytes + o)) {
                row = col = 0;
                o += FRAME_MARKER_LENGTH;
                continue;
            }
            levels[row * PICTURE_WIDTH + col] = bytes[o++];
            if (++col == PICTURE_WIDTH) {
                col = 0;
                row = static_cast<WORD>((row + 1) % PICTURE_HEIGHT);
            }
        }
    }
};

class FramePainterTest : public ::testing::Test {
protected:
    FramePainterTest() : m_window(SURFACE_WIDTH, SURFACE_HEIGHT) { m_window.Clear(BACKGROUND); }

    void Paint(const std::vector<BYTE>& bytes) { Paint(bytes, static_cast<UINT>(bytes.size())); }
    void Paint(const std::vector<BYTE>& bytes, UINT count)
    {
        PaintChunk(m_window.Get(), bytes.data(), count, m_nRow, m_nCol);
        m_model.Feed(bytes.data(), count);
    }

    // Every surface pixel matches the model, magnified four times.
    void ExpectScreenMatchesModel()
    {
        const CClientPixels pixels(m_window.Get());
        ASSERT_EQ(SURFACE_WIDTH, pixels.Width());
        int mismatches = 0;
        for (int y = 0; y < SURFACE_HEIGHT && mismatches < 5; ++y) {
            for (int x = 0; x < SURFACE_WIDTH && mismatches < 5; ++x) {
                const int level = m_model.levels[(y / PICTURE_SCALE) * PICTURE_WIDTH + x / PICTURE_SCALE];
                const COLORREF expected = level < 0 ? BACKGROUND : RGB(level, level, level);
                if (pixels.At(x, y) != expected) {
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << pixels.At(x, y)
                                  << ", expected " << expected;
                    ++mismatches;
                }
            }
        }
        EXPECT_EQ(m_model.row, m_nRow);
        EXPECT_EQ(m_model.col, m_nCol);
    }

    static std::vector<BYTE> Ramp(size_t count, BYTE first = 0)
    {
        std::vector<BYTE> bytes(count);
        for (size_t i = 0; i < count; ++i)
            bytes[i] = static_cast<BYTE>((first + i) % 0xFF); // never 0xFF: no marker by chance
        return bytes;
    }

    static void PutMarker(std::vector<BYTE>& bytes, size_t offset)
    {
        for (UINT i = 0; i < FRAME_MARKER_LENGTH && offset + i < bytes.size(); ++i)
            bytes[offset + i] = FRAME_MARKER[i];
    }

    CTestWindow m_window;
    WORD m_nRow = 0;
    WORD m_nCol = 0;
    PictureModel m_model;
};

TEST(FrameMarker, RecognisesOnlyTheExactSixBytes)
{
    const BYTE marker[] = {0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60};
    EXPECT_TRUE(IsFrameMarker(marker));
    for (size_t i = 0; i < sizeof(marker); ++i) {
        BYTE altered[sizeof(marker)];
        CopyMemory(altered, marker, sizeof(marker));
        altered[i] ^= 0x01;
        EXPECT_FALSE(IsFrameMarker(altered)) << "byte " << i << " altered";
    }
}

TEST_F(FramePainterTest, MarkerAtTheStartResetsTheCursorAndIsNotPainted)
{
    m_nRow = m_model.row = 50;
    m_nCol = m_model.col = 7;
    std::vector<BYTE> chunk = Ramp(CHUNK, 10);
    PutMarker(chunk, 0);
    Paint(chunk);
    EXPECT_EQ(3, m_nRow);
    EXPECT_EQ(122, m_nCol);
    ExpectScreenMatchesModel();
}

TEST_F(FramePainterTest, MarkerInTheLastSixBytesCountsButOneStartingLaterDoesNot)
{
    std::vector<BYTE> chunk = Ramp(CHUNK);
    PutMarker(chunk, 506);
    Paint(chunk);
    EXPECT_EQ(0, m_nRow);
    EXPECT_EQ(0, m_nCol);

    chunk = Ramp(CHUNK, 3);
    PutMarker(chunk, 507); // its sixth byte would lie in the next chunk
    Paint(chunk);
    EXPECT_EQ(4, m_nRow);
    EXPECT_EQ(0, m_nCol);
    ExpectScreenMatchesModel();
}

TEST_F(FramePainterTest, ShortReadPaintsOnlyItsBytesAndIgnoresAMarkerCutOff)
{
    std::vector<BYTE> chunk = Ramp(CHUNK, 40);
    PutMarker(chunk, 96); // complete in the slot, but only 100 bytes were read
    Paint(chunk, 100);
    EXPECT_EQ(0, m_nRow);
    EXPECT_EQ(100, m_nCol);
    ExpectScreenMatchesModel();
}

TEST_F(FramePainterTest, MarkerInsidePixelDataRestartsThePicture)
{
    std::vector<BYTE> chunk = Ramp(CHUNK, 90);
    PutMarker(chunk, 300);
    Paint(chunk);
    EXPECT_EQ(1, m_nRow);
    EXPECT_EQ(78, m_nCol); // 512 - 306 bytes after the marker
    ExpectScreenMatchesModel();
}

TEST_F(FramePainterTest, AFullPictureFillsTheSurfaceAndWraps)
{
    std::vector<BYTE> stream(FRAME_MARKER_LENGTH);
    PutMarker(stream, 0);
    const std::vector<BYTE> picture = Ramp(PICTURE_WIDTH * PICTURE_HEIGHT, 200);
    stream.insert(stream.end(), picture.begin(), picture.end());
    stream.push_back(77); // wraps to row 0, column 0

    for (size_t offset = 0; offset < stream.size(); offset += CHUNK) {
        const std::vector<BYTE> chunk(stream.begin() + offset,
                                      stream.begin() + std::min(stream.size(), offset + CHUNK));
        Paint(chunk);
    }
    EXPECT_EQ(0, m_nRow);
    EXPECT_EQ(1, m_nCol);
    ExpectScreenMatchesModel();
}

TEST_F(FramePainterTest, GreyLevelsPaintExactColours)
{
    const std::vector<BYTE> chunk = {0, 128, 255, 1, 254};
    Paint(chunk);
    const CClientPixels pixels(m_window.Get());
    for (int j = 0; j < PICTURE_SCALE; ++j) {
        for (int i = 0; i < PICTURE_SCALE; ++i) {
            EXPECT_EQ(RGB(0, 0, 0), pixels.At(i, j));
            EXPECT_EQ(RGB(128, 128, 128), pixels.At(4 + i, j));
            EXPECT_EQ(RGB(255, 255, 255), pixels.At(8 + i, j));
        }
    }
    EXPECT_EQ(BACKGROUND, pixels.At(20, 0));
    EXPECT_EQ(BACKGROUND, pixels.At(0, 4));
}

} // namespace

namespace {

// A window that is gone gives no drawing surface; the cursor must walk the
// chunk all the same, or the picture is out of step until the next marker.
TEST(FramePainterWithoutSurface, KeepsTheCursorInStep)
{
    const HWND gone = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 8, 8, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    ASSERT_EQ(nullptr, GetDC(gone));

    std::vector<BYTE> chunk(512, 0x40);
    WORD row = 5, col = 7;
    PaintChunk(gone, chunk.data(), 300, row, col); // 7 + 300 = 2 rows and 51 columns on
    EXPECT_EQ(7, row);
    EXPECT_EQ(51, col);

    const BYTE marker[] = {0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60};
    std::copy(marker, marker + 6, chunk.begin() + 100);
    PaintChunk(gone, chunk.data(), 512, row, col); // 406 bytes after the marker
    EXPECT_EQ(3, row);
    EXPECT_EQ(22, col);
}

} // namespace

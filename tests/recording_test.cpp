// orlavent-inspect: hand-made streams with every kind of damage, split in
// pieces of many sizes; a growing file; the program's outputs read back
// with the system's own PNG and AVI readers.
#include <windows.h>

#include <vfw.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <cstdlib>
#include <cstring>

#include "recording/capture_file.h"
#include "recording/picture_files.h"
#include "tests/recording_support.h"

using inspect::PictureKind;
using Microsoft::WRL::ComPtr;

namespace {

using namespace inspect_test;

const std::vector<BYTE> FIVE_OF_SIX = {0xFF, 0xFF, 0x00, 0xFF, 0x80};

struct Expected {
    uint64_t offset, length;
    PictureKind kind;
    bool operator==(const Expected& o) const { return offset == o.offset && length == o.length && kind == o.kind; }
};

struct Recorder : inspect::PictureSink {
    std::vector<Expected> pictures;
    bool WantsPixels(uint64_t) const override { return false; }
    bool OnPicture(const inspect::PictureInfo& p, const BYTE*) override
    {
        EXPECT_EQ(pictures.size() + 1, p.number);
        pictures.push_back({p.offset, p.length, p.kind});
        return true;
    }
};

const auto C = PictureKind::Complete, S = PictureKind::Short, L = PictureKind::Long, U = PictureKind::Unfinished;

TEST(CaptureSplitter, FindsEveryPictureOfDamagedStreamsWhereverTheReadsEnd)
{
    struct Case {
        const char* name;
        Stream stream;
        uint64_t leading;
        std::vector<Expected> pictures;
        double completeMean; // -1: no complete picture
        BYTE completeMin, completeMax;
    };
    const double fiveInside = (FLAT * (P - 5.0) + 0xFF * 3 + 0x80) / P;
    const std::vector<Case> cases = {
        {"empty", Stream(), 0, {}, -1, 0, 0},
        {"no marker", Stream().Grey(1000), 1000, {}, -1, 0, 0},
        {"leading bytes", Stream().Grey(7).M().Grey(P, 10).M().Grey(P, 20), 7, {{13, P, C}, {12307, P, C}}, 15, 10, 20},
        {"short", Stream().M().Grey(100).M().Grey(P), 0, {{6, 100, S}, {112, P, C}}, FLAT, FLAT, FLAT},
        {"long", Stream().M().Grey(P + 20).M().Grey(P + 1), 0, {{6, P + 20, L}, {12320, P + 1, L}}, -1, 0, 0},
        {"unfinished", Stream().M().Grey(P).M().Grey(50), 0, {{6, P, C}, {12300, 50, U}}, FLAT, FLAT, FLAT},
        {"five of the marker's bytes inside a picture and at the end",
         Stream().M().Grey(100).Raw(FIVE_OF_SIX).Grey(P - 105).M().Grey(P - 5).Raw(FIVE_OF_SIX), 0,
         {{6, P, C}, {12300, P, C}}, fiveInside, 0x00, 0xFF},
        {"markers back to back, FF just before a marker",
         Stream().M().M().Grey(P - 1).Raw({0xFF}).M().Grey(P), 0, {{6, 0, S}, {12, P, C}, {12306, P, C}},
         (FLAT * (2.0 * P - 1) + 0xFF) / (2 * P), FLAT, 0xFF},
        {"marker across the file's read block", Stream().Grey(262141).M().Grey(P), 262141, {{262147, P, C}}, FLAT,
         FLAT, FLAT},
    };
    const size_t pieceSizes[] = {1, 2, 5, 6, 7, 4093, SIZE_MAX};
    const std::string path = TempFolder() + "damaged.bin";
    for (const Case& c : cases) {
        const std::vector<BYTE>& bytes = c.stream.bytes;
        for (size_t piece : pieceSizes) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            Recorder recorder;
            inspect::CaptureSplitter splitter(&recorder);
            if (piece == SIZE_MAX) { // the whole file, as the program reads it
                ASSERT_TRUE(SaveFile(path, bytes));
                ASSERT_EQ(inspect::ScanResult::Done, inspect::ScanCaptureFile(path.c_str(), splitter));
            } else {
                for (size_t at = 0; at < bytes.size(); at += piece)
                    splitter.Feed(bytes.data() + at, std::min(piece, bytes.size() - at));
                splitter.Finish();
            }
            const inspect::CaptureSummary& s = splitter.Summary();
            EXPECT_EQ(bytes.size(), s.bytes);
            EXPECT_EQ(c.pictures.size(), s.markers);
            EXPECT_EQ(c.leading, s.leadingBytes);
            EXPECT_EQ(c.pictures, recorder.pictures);
            EXPECT_EQ(s.markers, s.complete + s.shortPictures + s.longPictures + s.unfinished);
            if (c.completeMean < 0) {
                EXPECT_EQ(0u, s.completeGrey.count);
                continue;
            }
            EXPECT_NEAR(c.completeMean, s.completeGrey.Mean(), 1e-9);
            EXPECT_EQ(c.completeMin, s.completeGrey.min);
            EXPECT_EQ(c.completeMax, s.completeGrey.max);
        }
    }
}

// What the recorder appends is counted, a marker split between two polls
// included; a new recording at the path starts the count over, even when
// it has already outgrown the old one: the same file emptied and written
// again, or a new file after the old one was moved away to keep it.
TEST(GrowingCapture, CountsWhatIsAppendedAndStartsOverForANewRecording)
{
    const std::string path = TempFolder() + "growing.bin", kept = TempFolder() + "kept.bin";
    DeleteFileA(kept.c_str());
    ASSERT_TRUE(SaveFile(path, Stream().M().Grey(P).M().Grey(100).Raw({0xFF, 0xFF, 0x00}).bytes));
    inspect::GrowingCapture capture(path.c_str());
    ASSERT_TRUE(capture.Poll());
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    const std::vector<BYTE> rest = Stream().Raw({0xFF, 0x80, 0x60}).Grey(P).bytes;
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr));
    CloseHandle(file);
    ASSERT_TRUE(capture.Poll());
    EXPECT_EQ(3u, capture.Splitter().Summary().markers);
    EXPECT_EQ(1u, capture.Splitter().Summary().shortPictures);

    const std::vector<BYTE> regrown = Stream().M().Grey(P).M().Grey(P).M().Grey(P).M().bytes;
    const std::vector<BYTE> next = Stream().Grey(1).M().Grey(P).M().Grey(P).M().Grey(P).M().Grey(P).bytes;
    ASSERT_TRUE(SaveFile(path, regrown)); // recreated in place
    ASSERT_TRUE(capture.Poll());
    EXPECT_EQ(1, capture.Restarts());
    EXPECT_EQ(regrown.size(), capture.Splitter().Summary().bytes);
    EXPECT_EQ(3u, capture.Splitter().Summary().complete);
    ASSERT_TRUE(MoveFileA(path.c_str(), kept.c_str()));
    EXPECT_FALSE(capture.Poll()); // nothing at the path until the next capture
    ASSERT_TRUE(SaveFile(path, next));
    ASSERT_TRUE(capture.Poll());
    EXPECT_EQ(2, capture.Restarts());
    EXPECT_EQ(next.size(), capture.Splitter().Summary().bytes);
    EXPECT_EQ(1u, capture.Splitter().Summary().leadingBytes);
    EXPECT_EQ(3u, capture.Splitter().Summary().complete);
}

// The integer after "key": in the program's JSON; -1 if absent.
long long JsonInteger(const std::string& json, const char* key)
{
    const size_t at = json.find(std::string("\"") + key + "\": ");
    return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + std::strlen(key) + 4);
}

// What the system's PNG decoder sees in the file: size and grey bytes.
bool ReadPng(const std::string& path, UINT& width, UINT& height, std::vector<BYTE>& grey)
{
    inspect::ComScope com;
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    WICPixelFormatGUID format;
    const std::wstring wide(path.begin(), path.end());
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory))) ||
        FAILED(factory->CreateDecoderFromFilename(wide.c_str(), nullptr, GENERIC_READ,
                                                  WICDecodeMetadataCacheOnDemand, &decoder)) ||
        FAILED(decoder->GetFrame(0, &frame)) || FAILED(frame->GetSize(&width, &height)) ||
        FAILED(frame->GetPixelFormat(&format)) || format != GUID_WICPixelFormat8bppGray)
        return false;
    grey.resize(width * height);
    return SUCCEEDED(frame->CopyPixels(nullptr, width, width * height, grey.data()));
}

// One run writes every output; --pictures limits the CSV rows, the PNGs
// (only complete pictures get one) and the AVI's frames. Pictures of an
// earlier run in the folder that this one does not write are left alone
// and said. The recording's name is given in UTF-8, whatever the code page.
TEST(InspectorProgram, EveryOutputTellsThePicturesForTheSystemsReaders)
{
    char name[16] = "capture.bin";
    BOOL lossy = FALSE;
    if (!WideCharToMultiByte(CP_ACP, 0, L"capt\u00fcre.bin", -1, name, sizeof(name), nullptr, &lossy) || lossy)
        lstrcpyA(name, "capture.bin");
    const std::string temp = TempFolder("every"), folder = TempFolder("png");
    const std::string capture = temp + name, csv = temp + "pictures.csv", avi = temp + "pictures.avi";
    // 3 leading bytes; complete, short, complete, long, complete, unfinished.
    ASSERT_TRUE(SaveFile(capture, Stream().Grey(3).M().Ramp().M().Grey(10).M().Ramp()
                                      .M().Grey(P + 2).M().Ramp().M().Grey(40).bytes));
    const std::vector<BYTE> earlier = {'e', 'a', 'r', 'l', 'y'};
    for (const char* picture : {"picture-000001.png", "picture-000004.png", "picture-000009.png"})
        ASSERT_TRUE(SaveFile(folder + picture, earlier));
    std::string json;
    ASSERT_EQ(0, RunInspector("--json --pictures 2-5 --csv " + csv + " --png " + folder + " --scale 4 --avi " + avi +
                                  " --fps 10 \"" + capture + "\"", &json));
    EXPECT_TRUE(lossy || json.find("capt\xC3\xBCre.bin\"") != std::string::npos) << json;
    const char* const keys[] = {"bytes", "markers", "leading_bytes", "complete", "short", "long", "unfinished",
                                "count", "first", "last"}; // the last three: the folder's other pictures
    const long long values[] = {49243, 6, 3, 3, 1, 1, 1, 3, 1, 9};
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(values[i], JsonInteger(json, keys[i])) << keys[i] << " in " << json;

    std::vector<BYTE> bytes;
    ASSERT_TRUE(testing_support::ReadWholeFile(csv.c_str(), bytes));
    EXPECT_EQ("number,offset,length,kind,min,mean,max\r\n"
              "2,12303,10,short,9,9.00,9\r\n"
              "3,12319,12288,complete,0,124.89,250\r\n" // 48 x (0..250) then 0..239
              "4,24613,12290,long,9,9.00,9\r\n"
              "5,36909,12288,complete,0,124.89,250\r\n",
              std::string(bytes.begin(), bytes.end()));

    for (const char* picture : {"picture-000001.png", "picture-000004.png", "picture-000009.png"})
        EXPECT_TRUE(testing_support::ReadWholeFile((folder + picture).c_str(), bytes) && bytes == earlier) << picture;
    for (const char* picture : {"picture-000003.png", "picture-000005.png"}) {
        UINT width = 0, height = 0;
        std::vector<BYTE> grey;
        ASSERT_TRUE(ReadPng(folder + picture, width, height, grey)) << picture;
        ASSERT_EQ(512u, width);
        ASSERT_EQ(384u, height);
        for (UINT y = 0; y < height; ++y)
            for (UINT x = 0; x < width; ++x)
                ASSERT_EQ((y / 4 * 128 + x / 4) % 251, grey[y * width + x]) << picture << " at " << x << "," << y;
    }

    AVIFileInit();
    PAVIFILE file = nullptr;
    PAVISTREAM stream = nullptr;
    ASSERT_EQ(S_OK, AVIFileOpenA(&file, avi.c_str(), OF_READ, nullptr));
    ASSERT_EQ(S_OK, AVIFileGetStream(file, &stream, streamtypeVIDEO, 0));
    AVISTREAMINFOA info = {};
    AVIStreamInfoA(stream, &info, sizeof(info));
    EXPECT_EQ(10u, info.dwRate / info.dwScale);
    EXPECT_EQ(2, AVIStreamLength(stream));
    std::vector<BYTE> frame(P);
    LONG got = 0;
    EXPECT_EQ(S_OK, AVIStreamRead(stream, 1, 1, frame.data(), P, &got, nullptr));
    EXPECT_EQ(static_cast<LONG>(P), got);
    for (size_t y = 0; y < 96; ++y) // a DIB's rows run bottom-up
        for (size_t x = 0; x < 128; ++x)
            ASSERT_EQ((y * 128 + x) % 251, frame[(95 - y) * 128 + x]) << x << "," << y;
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    AVIFileExit();
}

} // namespace

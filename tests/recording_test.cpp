// orlavent-inspect: hand-made streams with every kind of damage, split in
// pieces of many sizes; the program's outputs read back with the system's
// own PNG and AVI readers; its exit codes; a growing file.
#include <windows.h>

#include <vfw.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "recording/capture_file.h"
#include "recording/picture_files.h"
#include "tests/recording_support.h"
#include "tests/test_support.h"

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

TEST(GrowingCapture, CountsWhatIsAppendedAndStartsOverWhenTheFileIsRecreated)
{
    const std::string path = TempFolder() + "growing.bin";
    Stream first;
    first.M().Grey(P).M().Grey(100).Raw({0xFF, 0xFF, 0x00});
    ASSERT_TRUE(SaveFile(path, first.bytes));
    inspect::GrowingCapture capture(path.c_str());
    ASSERT_TRUE(capture.Poll());
    EXPECT_EQ(2u, capture.Splitter().Summary().markers);
    EXPECT_EQ(1u, capture.Splitter().Summary().complete);

    // The rest of the marker, then a picture, as the recorder appends them.
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    Stream rest;
    rest.Raw({0xFF, 0x80, 0x60}).Grey(P);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file, rest.bytes.data(), static_cast<DWORD>(rest.bytes.size()), &written, nullptr));
    CloseHandle(file);
    ASSERT_TRUE(capture.Poll());
    EXPECT_EQ(3u, capture.Splitter().Summary().markers);
    EXPECT_EQ(1u, capture.Splitter().Summary().shortPictures);

    ASSERT_TRUE(SaveFile(path, Stream().M().Grey(5).bytes));
    ASSERT_TRUE(capture.Poll());
    EXPECT_EQ(1, capture.Restarts());
    EXPECT_EQ(1u, capture.Splitter().Summary().markers);
    EXPECT_EQ(11u, capture.Splitter().Summary().bytes);
}

// A new recording at the path is told from the old one even when it has
// already outgrown it at the next poll: the same file emptied and written
// again, or a new file after the old one was moved away to keep it.
TEST(GrowingCapture, TellsANewRecordingThatOutgrewTheOldOneWithinAPoll)
{
    const std::string path = TempFolder() + "regrown.bin", kept = TempFolder() + "kept.bin";
    DeleteFileA(kept.c_str());
    ASSERT_TRUE(SaveFile(path, Stream().Grey(3).M().Grey(100).bytes));
    inspect::GrowingCapture capture(path.c_str());
    ASSERT_TRUE(capture.Poll());

    const Stream regrown = Stream().M().Grey(P).M().Grey(P).M();
    ASSERT_TRUE(SaveFile(path, regrown.bytes)); // recreated in place
    ASSERT_TRUE(capture.Poll());
    EXPECT_EQ(1, capture.Restarts());
    EXPECT_EQ(regrown.bytes.size(), capture.Splitter().Summary().bytes);
    EXPECT_EQ(0u, capture.Splitter().Summary().leadingBytes);
    EXPECT_EQ(2u, capture.Splitter().Summary().complete);

    ASSERT_TRUE(MoveFileA(path.c_str(), kept.c_str()));
    EXPECT_FALSE(capture.Poll()); // nothing at the path until the next capture
    const Stream next = Stream().Grey(1).M().Grey(P).M().Grey(P).M().Grey(P);
    ASSERT_TRUE(SaveFile(path, next.bytes));
    ASSERT_TRUE(capture.Poll());
    EXPECT_EQ(2, capture.Restarts());
    EXPECT_EQ(next.bytes.size(), capture.Splitter().Summary().bytes);
    EXPECT_EQ(1u, capture.Splitter().Summary().leadingBytes);
    EXPECT_EQ(2u, capture.Splitter().Summary().complete);
}

const char* const SUMMARY_KEYS[] = {"bytes", "markers", "leading_bytes", "complete", "short", "long", "unfinished"};

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

class InspectorProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        // 3 leading bytes; complete, short, complete, long, complete, unfinished.
        m_capture = TempFolder() + "capture.bin";
        ASSERT_TRUE(SaveFile(m_capture, Stream()
                                             .Grey(3).M().Ramp().M().Grey(10).M().Ramp()
                                             .M().Grey(P + 2).M().Ramp().M().Grey(40).bytes));
    }
    std::string m_capture;
};

// One run writes every output; --pictures limits the CSV rows, the PNGs
// (only complete pictures get one) and the AVI's frames.
TEST_F(InspectorProgram, EveryOutputTellsThePicturesForTheSystemsReaders)
{
    const std::string csv = TempFolder() + "pictures.csv", folder = TempFolder() + "png";
    const std::string avi = TempFolder() + "pictures.avi";
    std::string json;
    ASSERT_EQ(0, RunInspector("--json --pictures 2-5 --csv " + csv + " --png " + folder + " --scale 4 --avi " + avi +
                                  " --fps 10 " + m_capture, &json));
    const long long counts[] = {49243, 6, 3, 3, 1, 1, 1};
    for (size_t i = 0; i < 7; ++i)
        EXPECT_EQ(counts[i], JsonInteger(json, SUMMARY_KEYS[i])) << SUMMARY_KEYS[i];

    std::vector<BYTE> rows;
    ASSERT_TRUE(testing_support::ReadWholeFile(csv.c_str(), rows));
    EXPECT_EQ("number,offset,length,kind,min,mean,max\r\n"
              "2,12303,10,short,9,9.00,9\r\n"
              "3,12319,12288,complete,0,124.89,250\r\n" // 48 x (0..250) then 0..239
              "4,24613,12290,long,9,9.00,9\r\n"
              "5,36909,12288,complete,0,124.89,250\r\n",
              std::string(rows.begin(), rows.end()));

    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((folder + "\\picture-000001.png").c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((folder + "\\picture-000004.png").c_str()));
    for (const char* name : {"\\picture-000003.png", "\\picture-000005.png"}) {
        UINT width = 0, height = 0;
        std::vector<BYTE> grey;
        ASSERT_TRUE(ReadPng(folder + name, width, height, grey)) << name;
        ASSERT_EQ(512u, width);
        ASSERT_EQ(384u, height);
        for (UINT y = 0; y < height; ++y)
            for (UINT x = 0; x < width; ++x)
                ASSERT_EQ((y / 4 * 128 + x / 4) % 251, grey[y * width + x]) << name << " at " << x << "," << y;
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

    // The RIFF chunk covers the file exactly, and so do the chunks in it.
    std::vector<BYTE> bytes;
    ASSERT_TRUE(testing_support::ReadWholeFile(avi.c_str(), bytes));
    ASSERT_GE(bytes.size(), 12u);
    auto u32 = [&](size_t at) { return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | DWORD(bytes[at + 3]) << 24; };
    EXPECT_EQ(0, std::memcmp(bytes.data(), "RIFF", 4));
    EXPECT_EQ(bytes.size(), u32(4) + 8u);
    std::string chunks;
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        chunks += std::string(reinterpret_cast<const char*>(&bytes[at]), 4) + " ";
        at += 8 + u32(at + 4) + (u32(at + 4) & 1);
    }
    EXPECT_EQ(bytes.size(), at);
    EXPECT_NE(std::string::npos, chunks.find("idx1")) << chunks;
}

// Files left by earlier runs, and the recording itself, survive every run
// that cannot finish: a mistyped recording, two outputs naming one file, a
// picture that would be written over the recording (however its path is
// spelt) or an output that fails after others have begun. A run that
// finishes replaces them, and no temporary file is left behind.
TEST_F(InspectorProgram, NoRunLosesTheRecordingOrAFileItWouldReplace)
{
    const std::string temp = TempFolder();
    const std::string csv = temp + "keep.csv", avi = temp + "keep.avi", pictures = temp + "pictures";
    const std::string inPictures = pictures + "\\picture-000001.png";
    CreateDirectoryA(pictures.c_str(), nullptr);
    const std::vector<BYTE> earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    std::vector<BYTE> recording;
    ASSERT_TRUE(testing_support::ReadWholeFile(m_capture.c_str(), recording));
    ASSERT_TRUE(SaveFile(inPictures, recording));
    std::string upperCase = inPictures;
    CharUpperA(&upperCase[0]);
    const struct {
        std::string arguments;
        int exitCode;
    } cases[] = {
        {"--avi " + avi + " --csv " + csv + " " + temp + "mistyped.bin", EXIT_INPUT},
        {"--csv " + csv + " --avi " + temp + "KEEP.CSV " + m_capture, EXIT_USAGE},
        {"--png " + pictures + " " + upperCase, EXIT_OUTPUT},
        {"--csv " + csv + " --avi " + avi + " --png " + m_capture + " " + m_capture, EXIT_OUTPUT},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SaveFile(csv, earlier) && SaveFile(avi, earlier));
        EXPECT_EQ(c.exitCode, RunInspector(c.arguments)) << c.arguments;
        std::vector<BYTE> bytes;
        EXPECT_TRUE(testing_support::ReadWholeFile(csv.c_str(), bytes) && bytes == earlier) << c.arguments;
        EXPECT_TRUE(testing_support::ReadWholeFile(avi.c_str(), bytes) && bytes == earlier) << c.arguments;
        EXPECT_TRUE(testing_support::ReadWholeFile(inPictures.c_str(), bytes) && bytes == recording) << c.arguments;
    }
    ASSERT_EQ(0, RunInspector("--csv " + csv + " --avi " + avi + " " + m_capture));
    std::vector<BYTE> bytes;
    EXPECT_TRUE(testing_support::ReadWholeFile(csv.c_str(), bytes) && bytes.size() > 100);
    EXPECT_TRUE(testing_support::ReadWholeFile(avi.c_str(), bytes) && bytes.size() > 3 * P);
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((temp + "*.tmp").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, search) << "left behind: " << found.cFileName;
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
}

// The file's name in JSON is UTF-8 whatever the system's code page.
TEST_F(InspectorProgram, JsonNamesTheFileInUtf8)
{
    char name[16] = {};
    BOOL lossy = FALSE;
    if (!WideCharToMultiByte(CP_ACP, 0, L"caf\u00e9.bin", -1, name, sizeof(name), nullptr, &lossy) || lossy)
        GTEST_SKIP() << "the code page has no e-acute";
    const std::string path = TempFolder() + name;
    std::vector<BYTE> recording;
    ASSERT_TRUE(testing_support::ReadWholeFile(m_capture.c_str(), recording));
    ASSERT_TRUE(SaveFile(path, recording));
    std::string json;
    ASSERT_EQ(0, RunInspector("--json \"" + path + "\"", &json));
    EXPECT_NE(std::string::npos, json.find("caf\xC3\xA9.bin\"")) << json;
}

TEST_F(InspectorProgram, ExitCodesTellBadUsageUnreadableInputAndUnwritableOutput)
{
    const std::string temp = TempFolder();
    const std::string empty = temp + "empty.bin";
    ASSERT_TRUE(SaveFile(empty, {}));
    const struct {
        std::string arguments;
        int exitCode;
    } cases[] = {
        {"--help", 0},
        {"--json " + empty, 0},
        {"--bogus " + m_capture, EXIT_USAGE},
        {"--pictures 5-2 " + m_capture, EXIT_USAGE},
        {"--scale", EXIT_USAGE},
        {m_capture + " " + m_capture, EXIT_USAGE},
        {temp + "missing.bin", EXIT_INPUT},
        {temp.substr(0, temp.size() - 1), EXIT_INPUT}, // a folder
        {"--png " + m_capture + " " + empty, EXIT_OUTPUT}, // a file where the folder should be
        {"--csv " + temp + "no\\such\\folder.csv " + m_capture, EXIT_OUTPUT},
        {"--csv " + m_capture + " " + m_capture, EXIT_OUTPUT}, // would empty the recording
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.exitCode, RunInspector(c.arguments)) << c.arguments;

    std::string json;
    EXPECT_EQ(0, RunInspector("--json " + empty, &json));
    for (const char* key : SUMMARY_KEYS)
        EXPECT_EQ(0, JsonInteger(json, key)) << key << " of an empty file";
    std::vector<BYTE> capture;
    ASSERT_TRUE(testing_support::ReadWholeFile(m_capture.c_str(), capture));
    EXPECT_EQ(49243u, capture.size()) << "the capture file was changed";
}

} // namespace

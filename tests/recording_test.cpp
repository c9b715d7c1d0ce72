// orlavent-inspect: hand-made streams with every kind of damage, split in
// pieces of many sizes; a growing file; the program's outputs read back
// with the system's own PNG and AVI readers; and its promise that a run
// that fails, is stopped (Ctrl+C, Ctrl+Break, the console closing) or reads
// a recording that changes under it leaves every file as it was and no
// temporary file, and one that is killed leaves every name with its old
// file or its new one. A slow run is a real one: pictures written as PNG
// files 16 times larger, which the test watches appear as temporary files
// before it acts.
#include <windows.h>

#include <vfw.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

#include "device/win_handle.h"
#include "recording/capture_file.h"
#include "recording/picture_files.h"
#include "tests/test_support.h"

using Microsoft::WRL::ComPtr;

namespace {

// Written out here rather than taken from the code under test.
constexpr size_t P = 128 * 96;
constexpr BYTE FLAT = 9;
constexpr int EXIT_USAGE = 2, EXIT_INPUT = 3, EXIT_OUTPUT = 4, EXIT_CHANGED = 5, EXIT_STOPPED = 6;
constexpr int EXIT_NOT_PUT_BACK = 7;
// Enough pictures at --scale 16 that a run lasts seconds, natively too,
// while it spans more than one of the program's reads (128 KiB each).
constexpr int SLOW_PICTURES = 30;
constexpr DWORD START_TIMEOUT_MS = 60000; // the program's start under a loaded emulator
constexpr DWORD END_TIMEOUT_MS = 20000;
constexpr double STOP_WITHIN_MS = 1000;   // the promise
constexpr LONGLONG LONG_RECORDING = 2ll << 30; // of zeros, made in no time

const std::vector<BYTE> FIVE_OF_SIX = {0xFF, 0xFF, 0x00, 0xFF, 0x80};
const std::vector<BYTE> EARLIER = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};

struct Stream {
    std::vector<BYTE> bytes;
    Stream& M() { return Raw({0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60}); }
    Stream& Raw(const std::vector<BYTE>& raw)
    {
        bytes.insert(bytes.end(), raw.begin(), raw.end());
        return *this;
    }
    Stream& Grey(size_t count, BYTE value = FLAT) { return Raw(std::vector<BYTE>(count, value)); }
    Stream& Ramp(size_t seed = 0) // a picture whose byte i is (i + seed) % 251
    {
        for (size_t i = 0; i < P; ++i)
            bytes.push_back(static_cast<BYTE>((i + seed) % 251));
        return *this;
    }
};

// `count` complete pictures, picture k a ramp from 7 k + seed.
std::vector<BYTE> Pictures(int count, int seed = 0)
{
    Stream stream;
    for (int k = 0; k < count; ++k)
        stream.M().Ramp(7 * k + seed);
    return stream.bytes;
}

// Every file and folder under `folder`, by relative name, with a hash of
// each file's content: what "every file as it was, and nothing else"
// compares. With `empty`, it removes them instead.
using FolderState = std::map<std::string, ULONGLONG>;

FolderState StateOf(const std::string& folder, const std::string& prefix = std::string(), bool empty = false)
{
    FolderState state;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        const std::string name = found.cFileName, path = folder + name;
        std::vector<BYTE> bytes;
        if (name == "." || name == "..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            const FolderState inside = StateOf(path + "\\", prefix + name + "\\", empty);
            state.insert(inside.begin(), inside.end());
        }
        testing_support::ReadWholeFile(path.c_str(), bytes);
        state[prefix + name] = testing_support::Fnv1a(bytes.data(), bytes.size());
        if (empty && !RemoveDirectoryA(path.c_str()))
            DeleteFileA(path.c_str());
    }
    FindClose(search);
    return state;
}

// The test programs' own folder in the temporary folder, with a trailing
// backslash; `sub`, if given, a folder in it made afresh (emptied).
std::string TempFolder(const std::string& sub = std::string())
{
    char path[MAX_PATH];
    GetTempPathA(MAX_PATH, path);
    const std::string base = std::string(path) + "orlavent-inspect-test\\";
    const std::string folder = sub.empty() ? base : base + sub + "\\";
    CreateDirectoryA(base.c_str(), nullptr);
    if (!sub.empty() && !CreateDirectoryA(folder.c_str(), nullptr))
        StateOf(folder, std::string(), true); // it was there: emptied
    return folder;
}

// Writes `bytes` into the file at `at` (at its end with FILE_APPEND_DATA),
// or, with none, cuts it there; shared as the recorder shares C:\1.txt.
bool WriteAt(const std::string& path, DWORD access, LONGLONG at, const std::vector<BYTE>& bytes,
             DWORD disposition = OPEN_EXISTING)
{
    const HANDLE file =
        CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, 0, nullptr);
    LARGE_INTEGER to;
    to.QuadPart = at;
    DWORD written = 0;
    const bool done = SetFilePointerEx(file, to, nullptr, FILE_BEGIN) &&
                      (bytes.empty() ? SetEndOfFile(file) != FALSE
                                     : WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                                 nullptr) && written == bytes.size());
    CloseHandle(file);
    return done;
}

// Creates or replaces the file.
bool SaveFile(const std::string& path, const std::vector<BYTE>& bytes)
{
    return WriteAt(path, GENERIC_WRITE, 0, bytes, CREATE_ALWAYS);
}

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs)
{
    for (const double end = testing_support::NowMs() + timeoutMs; !condition(); Sleep(5))
        if (testing_support::NowMs() > end)
            return false;
    return true;
}

// The number after "label" in the program's summary; -1 if absent.
long long SummaryNumber(const std::string& output, const char* label)
{
    const size_t at = output.find(label);
    return at == std::string::npos ? -1 : std::atoll(output.c_str() + at + std::strlen(label));
}

int RunInspector(const std::string& arguments, std::string* output = nullptr)
{
    return testing_support::RunProgram("orlavent-inspect.exe", arguments, output);
}

// orlavent-inspect.exe (or `program`) running in a process of its own,
// attached to this process's console if it has one, its standard output
// and error in a file.
class InspectorProcess {
public:
    InspectorProcess() = default;
    ~InspectorProcess() { Wait(0); }
    InspectorProcess(const InspectorProcess&) = delete;
    InspectorProcess& operator=(const InspectorProcess&) = delete;

    bool Start(const std::string& arguments, const char* program = "orlavent-inspect.exe")
    {
        static int runs = 0;
        m_outPath = TempFolder() + "output-" + std::to_string(++runs) + ".txt";
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = CreateFileA(m_outPath.c_str(), GENERIC_WRITE,
                                                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                                             CREATE_ALWAYS, 0, nullptr);
        std::string line = "\"" + testing_support::ProgramFolder() + program + "\" " + arguments;
        const BOOL started =
            CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &m_process);
        CloseHandle(startup.hStdOutput);
        return started != FALSE;
    }
    // The exit code, or -1 if it has not ended within `timeoutMs`: it is
    // then ended outright.
    int Wait(DWORD timeoutMs = INFINITE)
    {
        DWORD code = static_cast<DWORD>(-1);
        if (!m_process.hProcess)
            return -1;
        if (WaitForSingleObject(m_process.hProcess, timeoutMs) != WAIT_OBJECT_0)
            TerminateProcess(m_process.hProcess, code);
        WaitForSingleObject(m_process.hProcess, INFINITE);
        GetExitCodeProcess(m_process.hProcess, &code);
        CloseHandle(m_process.hProcess);
        CloseHandle(m_process.hThread);
        m_process = {};
        return static_cast<int>(code);
    }
    bool Running() const { return WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT; }
    HANDLE Process() const { return m_process.hProcess; }
    // What it has written so far.
    std::string Output() const
    {
        std::vector<BYTE> text;
        testing_support::ReadWholeFile(m_outPath.c_str(), text);
        return std::string(text.begin(), text.end());
    }

private:
    PROCESS_INFORMATION m_process = {};
    std::string m_outPath;
};

// Delivers a console control event to the program as the system does: a
// thread started in the process at CtrlRoutine with the event as argument.
// Wine's console does not generate Ctrl+Break, one program cannot close
// another's console, and a test run headless has no console of its own.
bool SendConsoleEvent(HANDLE process, DWORD event)
{
    void* routine = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine"));
    if (!routine)
        return false;
    const HANDLE thread = CreateRemoteThread(process, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(routine),
                                             reinterpret_cast<void*>(static_cast<DWORD_PTR>(event)), 0, nullptr);
    return thread && CloseHandle(thread);
}

// Each picture the splitter hands on: "offset+length" and the kind's
// first letter.
struct Recorder : inspect::PictureSink {
    std::string pictures;
    bool WantsPixels(uint64_t) const override { return false; }
    bool OnPicture(const inspect::PictureInfo& p, const BYTE*) override
    {
        pictures += std::to_string(p.offset) + "+" + std::to_string(p.length) + inspect::KindName(p.kind)[0] + " ";
        return true;
    }
};

TEST(CaptureSplitter, FindsEveryPictureOfDamagedStreamsWhereverTheReadsEnd)
{
    struct Case {
        const char* name;
        Stream stream;
        uint64_t leading;
        std::string pictures;
        double completeMean; // -1: no complete picture
        BYTE completeMin, completeMax;
    };
    const double fiveInside = (FLAT * (P - 5.0) + 0xFF * 3 + 0x80) / P;
    const std::vector<Case> cases = {
        {"no marker", Stream().Grey(1000), 1000, "", -1, 0, 0},
        {"leading bytes", Stream().Grey(7).M().Grey(P, 10).M().Grey(P, 20), 7, "13+12288c 12307+12288c ", 15, 10, 20},
        {"short", Stream().M().Grey(100).M().Grey(P), 0, "6+100s 112+12288c ", FLAT, FLAT, FLAT},
        {"long", Stream().M().Grey(P + 20).M().Grey(P + 1), 0, "6+12308l 12320+12289l ", -1, 0, 0},
        {"unfinished", Stream().M().Grey(P).M().Grey(50), 0, "6+12288c 12300+50u ", FLAT, FLAT, FLAT},
        {"five of the marker's bytes inside a picture and at the end",
         Stream().M().Grey(100).Raw(FIVE_OF_SIX).Grey(P - 105).M().Grey(P - 5).Raw(FIVE_OF_SIX), 0,
         "6+12288c 12300+12288c ", fiveInside, 0x00, 0xFF},
        {"markers back to back, FF just before a marker", Stream().M().M().Grey(P - 1).Raw({0xFF}).M().Grey(P), 0,
         "6+0s 12+12288c 12306+12288c ", (FLAT * (2.0 * P - 1) + 0xFF) / (2 * P), FLAT, 0xFF},
        {"marker across a read block", Stream().Grey(262141).M().Grey(P), 262141, "262147+12288c ", FLAT, FLAT, FLAT},
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
            EXPECT_EQ(c.leading, s.leadingBytes);
            EXPECT_EQ(c.pictures, recorder.pictures);
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
    ASSERT_TRUE(SaveFile(path, Stream().M().Grey(P).M().Grey(100).Raw({0xFF, 0xFF, 0x00}).bytes));
    inspect::GrowingCapture capture(path.c_str());
    ASSERT_TRUE(capture.Poll());
    ASSERT_TRUE(WriteAt(path, FILE_APPEND_DATA, 0, Stream().Raw({0xFF, 0x80, 0x60}).Grey(P).bytes));
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
    ASSERT_TRUE(MoveFileExA(path.c_str(), kept.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(capture.Poll()); // nothing at the path until the next capture
    ASSERT_TRUE(SaveFile(path, next));
    ASSERT_TRUE(capture.Poll());
    EXPECT_EQ(2, capture.Restarts());
    EXPECT_EQ(next.size(), capture.Splitter().Summary().bytes);
    EXPECT_EQ(3u, capture.Splitter().Summary().complete);
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
    for (const char* picture : {"picture-000001.png", "picture-000004.png", "picture-000009.png"})
        ASSERT_TRUE(SaveFile(folder + picture, EARLIER));
    std::string json;
    ASSERT_EQ(0, RunInspector("--json --pictures 2-5 --csv " + csv + " --png " + folder + " --scale 4 --avi " + avi +
                                  " --fps 10 \"" + capture + "\"", &json));
    EXPECT_TRUE(lossy || json.find("capt\xC3\xBCre.bin\"") != std::string::npos) << json;
    const char* const keys[] = {"bytes", "markers", "leading_bytes", "complete", "short", "long", "unfinished",
                                "count", "first", "last"}; // the last three: the folder's other pictures
    const long long values[] = {49243, 6, 3, 3, 1, 1, 1, 3, 1, 9};
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(values[i], SummaryNumber(json, ("\"" + std::string(keys[i]) + "\": ").c_str())) << keys[i] << json;

    std::vector<BYTE> bytes;
    ASSERT_TRUE(testing_support::ReadWholeFile(csv.c_str(), bytes));
    EXPECT_EQ("number,offset,length,kind,min,mean,max\r\n"
              "2,12303,10,short,9,9.00,9\r\n"
              "3,12319,12288,complete,0,124.89,250\r\n" // 48 x (0..250) then 0..239
              "4,24613,12290,long,9,9.00,9\r\n"
              "5,36909,12288,complete,0,124.89,250\r\n",
              std::string(bytes.begin(), bytes.end()));

    for (const char* picture : {"picture-000001.png", "picture-000004.png", "picture-000009.png"})
        EXPECT_TRUE(testing_support::ReadWholeFile((folder + picture).c_str(), bytes) && bytes == EARLIER) << picture;
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
    for (size_t y = 0; y < 96; ++y) // a DIB's rows run bottom-up
        for (size_t x = 0; x < 128; ++x)
            ASSERT_EQ((y * 128 + x) % 251, frame[(95 - y) * 128 + x]) << x << "," << y;
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    AVIFileExit();
}

// A folder with a recording and the outputs of an earlier run: a CSV, a
// video, and pictures 1 and 3 (the new run writes 1, 2, 3...).
class InspectorRun : public ::testing::Test {
protected:
    void Prepare(const std::string& name, const std::vector<BYTE>& recording)
    {
        m_folder = TempFolder(name);
        m_recording = TempFolder(name + "-recording") + "recording.bin";
        m_csv = m_folder + "pictures.csv";
        m_avi = m_folder + "pictures.avi";
        m_pictures = TempFolder(name + "\\pictures");
        ASSERT_TRUE(SaveFile(m_recording, recording));
        for (const std::string& path : {m_csv, m_avi, m_pictures + "picture-000001.png",
                                        m_pictures + "picture-000003.png"})
            ASSERT_TRUE(SaveFile(path, EARLIER));
    }

    // Starts every output at once, the pictures 16 times larger (a slow
    // run), and waits until it is writing its pictures.
    void StartSlowRun(InspectorProcess& inspector)
    {
        ASSERT_TRUE(inspector.Start("--csv " + m_csv + " --avi " + m_avi + " --png " + m_pictures + " --scale 16 " +
                                    m_recording));
        // A third file among the pictures: the run's first, under a temporary name.
        ASSERT_TRUE(WaitFor([&] { return StateOf(m_pictures).size() > 2 || !inspector.Running(); }, START_TIMEOUT_MS));
        ASSERT_TRUE(inspector.Running()) << "ended before its first picture: " << inspector.Output();
    }

    // Starts the CSV and pictures of the recording from the tests' build,
    // which holds the run before step `step` of its commit, and waits until
    // it is held there or has ended.
    void StartHeldBefore(InspectorProcess& inspector, int step)
    {
        SetEnvironmentVariableA("ORLAVENT_COMMIT_PAUSE", std::to_string(step).c_str());
        const bool started = inspector.Start("--csv " + m_csv + " --png " + m_pictures + " " + m_recording,
                                             "orlavent-inspect-steps.exe");
        SetEnvironmentVariableA("ORLAVENT_COMMIT_PAUSE", nullptr);
        ASSERT_TRUE(started);
        ASSERT_TRUE(WaitFor([&] { return inspector.Output().find("commit step") != std::string::npos ||
                                         !inspector.Running(); }, START_TIMEOUT_MS));
    }

    std::string m_folder, m_recording, m_csv, m_avi, m_pictures;
};

// Runs that cannot finish leave every file as it was, the recording
// included, and no temporary file: bad usage, two outputs that name one
// file (a picture of --png among them, by its name in another case or by a
// hard link), a mistyped recording, a later picture that would be the
// recording, an output that fails after others have begun, a file that
// cannot be replaced at the end because a player holds it open without
// leave to move it (the CSV, video and pictures go in that order, so those
// before it are put back). A run that can finish then replaces them all.
TEST_F(InspectorRun, NoRunThatCannotFinishChangesAFile)
{
    ASSERT_NO_FATAL_FAILURE(Prepare("unfinished", Pictures(5)));
    const std::string asPicture5 = m_pictures + "picture-000005.png", alias = m_folder + "alias.avi";
    const std::string empty = m_folder + "empty.bin", outputs = "--csv " + m_csv + " --avi " + m_avi + " --png " +
                                                                m_pictures + " ";
    ASSERT_TRUE(SaveFile(asPicture5, Pictures(5)) && SaveFile(empty, {}));
    ASSERT_TRUE(CreateHardLinkA(alias.c_str(), (m_pictures + "picture-000001.png").c_str(), nullptr));
    const std::string held3 = m_pictures + "picture-000003.png";
    const struct {
        int exitCode;
        std::string arguments, says;
        std::string held = std::string(); // a file a player holds open meanwhile
    } cases[] = {
        {0, "--json " + empty, "\"bytes\": 0,"},
        {EXIT_USAGE, "--bogus " + m_recording, "unknown option"},
        {EXIT_USAGE, "--pictures 5-2 " + m_recording, "bad value"},
        {EXIT_USAGE, "--scale", "needs a value"},
        {EXIT_USAGE, m_recording + " " + m_recording, "only one"},
        {EXIT_USAGE, "--csv " + m_csv + " --avi " + m_folder + "PICTURES.CSV " + m_recording, "name the same file"},
        {EXIT_USAGE, "--png " + m_pictures + " --csv " + m_pictures + "PICTURE-000002.PNG " + m_recording, "picture's"},
        {EXIT_USAGE, "--png " + m_pictures + " --avi " + alias + " " + m_recording, "picture's name"},
        {EXIT_INPUT, outputs + m_folder + "mistyped.bin", "cannot open"},
        {EXIT_INPUT, outputs + m_pictures, "cannot open"}, // a folder
        {EXIT_OUTPUT, outputs + asPicture5, "picture-000005.png is the capture file itself"},
        {EXIT_OUTPUT, "--csv " + m_folder + "no\\such.csv " + m_recording, "cannot create"},
        {EXIT_OUTPUT, "--csv " + m_csv + " --avi " + m_avi + " --png " + empty + " " + m_recording, "is not a folder"},
        {EXIT_OUTPUT, outputs + m_recording, "cannot replace " + m_avi, m_avi},
        {EXIT_OUTPUT, outputs + m_recording, "cannot replace " + held3, held3},
    };
    const FolderState before = StateOf(m_folder);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        CFileHandle player(CreateFileA(c.held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, 0));
        std::string output;
        EXPECT_EQ(c.exitCode, RunInspector(c.arguments, &output)) << output;
        EXPECT_NE(std::string::npos, output.find(c.says)) << output;
        EXPECT_EQ(before, StateOf(m_folder));
    }
    std::string output;
    ASSERT_EQ(0, RunInspector(outputs + m_recording, &output)) << output;
    const FolderState after = StateOf(m_folder);
    for (const char* name : {"pictures.csv", "pictures.avi", "pictures\\picture-000001.png",
                             "pictures\\picture-000003.png", "pictures\\picture-000005.png"})
        EXPECT_NE(before.at(name), after.at(name)) << name;
    for (const auto& entry : StateOf(m_folder))
        EXPECT_EQ(std::string::npos, entry.first.find(".tmp")) << "left behind";
}

// What ends a slow run part-way: Ctrl+C, Ctrl+Break or the console closing
// end it within a second with its own exit code; a recording that changes
// while it is read, as the tool recreates C:\\1.txt at every Show Image, is
// an error. Either way every file is as it was and no summary is given. A
// recording that only grows, as during a capture, has not changed; and
// --follow's first read of a long recording ends part-way with the summary
// of what it read.
TEST_F(InspectorRun, WhatEndsARunPartWayLeavesEveryFileAsItWas)
{
    const std::string longRecording = TempFolder("follow") + "long.bin";
    ASSERT_TRUE(SaveFile(longRecording, {}) && WriteAt(longRecording, GENERIC_WRITE, LONG_RECORDING, {}));
    const std::vector<BYTE> more = Pictures(3, 50);
    const char* const stopped = "stopped; no file was changed";
    const char* const changed = "the recording changed while it was read";
    const struct {
        const char* name;
        int exitCode;
        const char* says;
        std::function<bool(const std::string& recording)> change; // or else
        DWORD event = 0;
        bool follow = false;
    } ends[] = {
        {"Ctrl+C", EXIT_STOPPED, stopped, nullptr, CTRL_C_EVENT, false},
        {"Ctrl+Break", EXIT_STOPPED, stopped, nullptr, CTRL_BREAK_EVENT, false},
        {"the console closed", EXIT_STOPPED, stopped, nullptr, CTRL_CLOSE_EVENT, false},
        {"Ctrl+C in --follow's first read", EXIT_STOPPED, "following", nullptr, CTRL_C_EVENT, true},
        // As the recorder makes it: emptied in place, then a new stream.
        {"recreated", EXIT_CHANGED, changed, [](const std::string& r) { return SaveFile(r, Pictures(40, 1)); }},
        // The same bytes, but another file: the one read is elsewhere now.
        {"moved away and copied back", EXIT_CHANGED, changed,
         [](const std::string& r) {
             return MoveFileA(r.c_str(), (r + ".kept").c_str()) && CopyFileA((r + ".kept").c_str(), r.c_str(), TRUE);
         }},
        {"cut short", EXIT_CHANGED, changed, [](const std::string& r) { return WriteAt(r, GENERIC_WRITE, 1000, {}); }},
        // Neither its first nor its last block: only the write's time tells.
        {"rewritten in the middle at the same size", EXIT_CHANGED, changed,
         [](const std::string& r) { return WriteAt(r, GENERIC_WRITE, 160000, Pictures(2, 9)); }},
        {"grown", 0, "", [&](const std::string& r) { return WriteAt(r, FILE_APPEND_DATA, 0, more); }},
    };
    for (const auto& end : ends) {
        SCOPED_TRACE(end.name);
        ASSERT_NO_FATAL_FAILURE(Prepare("ended", Pictures(SLOW_PICTURES)));
        const FolderState before = StateOf(m_folder);
        InspectorProcess inspector;
        if (end.follow) {
            ASSERT_TRUE(inspector.Start("--follow " + longRecording));
            ASSERT_TRUE(WaitFor([&] { return inspector.Output().find(end.says) != std::string::npos; },
                                START_TIMEOUT_MS));
            Sleep(500); // its first read begins a quarter of a second after it says so
        } else {
            ASSERT_NO_FATAL_FAILURE(StartSlowRun(inspector));
        }
        ASSERT_TRUE(end.change ? end.change(m_recording) : SendConsoleEvent(inspector.Process(), end.event));
        const double acted = testing_support::NowMs();
        const int code = inspector.Wait(END_TIMEOUT_MS);
        const double took = testing_support::NowMs() - acted;
        const std::string output = inspector.Output();
        EXPECT_EQ(end.exitCode, code) << output;
        EXPECT_LT(took, code == EXIT_STOPPED ? STOP_WITHIN_MS : END_TIMEOUT_MS);
        EXPECT_NE(std::string::npos, output.find(end.says)) << output;
        // A summary only of a recording read to its end, or part-way by --follow.
        const long long read = SummaryNumber(output, "bytes:"), whole = SLOW_PICTURES * (P + 6) + more.size();
        EXPECT_TRUE(end.follow ? read > 0 && read < LONG_RECORDING : read == (code == 0 ? whole : -1)) << output;
        const FolderState after = StateOf(m_folder);
        EXPECT_EQ(code == 0 ? after : before, after); // a run that finishes has written its outputs
    }
    DeleteFileA(longRecording.c_str());
}

// Ended outright before any step of the commit (each output's old file
// gets a second name, then the new one takes the name), every name holds
// its old file or its new one, whole: the new one if its step was done. A
// put-back that fails is said.
TEST_F(InspectorRun, ACommitCutShortLeavesEveryNameWithItsOldFileOrItsNewOne)
{
    ASSERT_NO_FATAL_FAILURE(Prepare("killed", Pictures(2)));
    std::string output;
    ASSERT_EQ(0, RunInspector("--csv " + m_csv + " --png " + m_pictures + " " + m_recording, &output)) << output;
    EXPECT_NE(std::string::npos, output.find(": 1, picture-000003.png to picture-000003.png, not written")) << output;
    FolderState done = StateOf(m_folder);
    const char* const names[] = {"pictures.csv", "pictures\\picture-000001.png", "pictures\\picture-000002.png"};
    for (int step = 1;; ++step) {
        SCOPED_TRACE("killed before step " + std::to_string(step));
        ASSERT_NO_FATAL_FAILURE(Prepare("killed", Pictures(2)));
        FolderState before = StateOf(m_folder);
        InspectorProcess inspector;
        ASSERT_NO_FATAL_FAILURE(StartHeldBefore(inspector, step));
        if (!inspector.Running()) {
            EXPECT_EQ(0, inspector.Wait()) << inspector.Output();
            EXPECT_EQ(7, step) << "two steps an output";
            break;
        }
        inspector.Wait(0); // ended outright
        FolderState after = StateOf(m_folder); // a file missing there is 0
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ((2 * k + 2 < step ? done : before)[names[k]], after[names[k]]) << names[k];
    }

    // Another program (an indexer) opens a new file before a stop puts it
    // back: the run says which name holds the new file and where the old
    // one is, and does not claim that it changed nothing.
    ASSERT_NO_FATAL_FAILURE(Prepare("killed", Pictures(2)));
    const FolderState pictures = StateOf(m_pictures);
    InspectorProcess inspector;
    ASSERT_NO_FATAL_FAILURE(StartHeldBefore(inspector, 4)); // the CSV has its new file, picture 1 not yet
    const CFileHandle indexer(CreateFileA(m_csv.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, 0));
    ASSERT_TRUE(SendConsoleEvent(inspector.Process(), CTRL_C_EVENT));
    EXPECT_EQ(EXIT_NOT_PUT_BACK, inspector.Wait(END_TIMEOUT_MS));
    output = inspector.Output();
    EXPECT_EQ(std::string::npos, output.find("no file was changed")) << output;
    EXPECT_NE(std::string::npos, output.find(m_csv + " holds the new file")) << output;
    const size_t kept = output.find(m_folder + "ori"), end = output.find(".tmp", kept);
    ASSERT_NE(std::string::npos, end) << output;
    FolderState after = StateOf(m_folder);
    const std::string keptName = output.substr(kept + m_folder.size(), end + 4 - kept - m_folder.size());
    EXPECT_EQ(testing_support::Fnv1a(EARLIER.data(), EARLIER.size()), after[keptName]) << keptName;
    EXPECT_EQ(pictures, StateOf(m_pictures)); // picture 1 had a second name, not yet its new file
}

} // namespace

// The capture reader against the simulated sensor: what reaches the window
// and the capture file, stopping, a link closed under the reader, and the
// bounded backlog.
#include "afx/afxwin.h"
#include "device/chunk_notice.h"
#include "device/device_request.h"
#include "device/image_device.h"
#include "tests/test_support.h"
#include "tests/window_capture.h"
#include "tools/stopwatch.h"

using testing_support::Fnv1a;
using stopwatch::NowMs;
using stopwatch::ProcessCpuMs;
using testing_support::ReadWholeFile;

namespace {

const char CAPTURE_FILE[] = "C:\\1.txt";

class CaptureReaderTest : public SimTest {
protected:
    CaptureReaderTest() : m_window(64, 64) {}

    void SetUp() override
    {
        SimTest::SetUp();
        m_target.m_hWnd = m_window.Get();
        m_app.m_pMainWnd = &m_target;
        ASSERT_TRUE(m_device.Connect());
    }

    void TearDown() override
    {
        m_device.StopCapture();
        DiscardQueuedChunks(m_window.Get());
        m_app.m_pMainWnd = nullptr;
        m_target.m_hWnd = nullptr;
        SimTest::TearDown();
    }

    void StartStreaming()
    {
        ASSERT_TRUE(m_device.StartImaging(DEFAULT_SENSOR_SETTINGS));
        ASSERT_TRUE(m_sim.ClearLog(0)); // counts only what the reader reads
    }

    // Handles the window's chunk notices for `ms`, as the main window would,
    // keeping their bytes in order.
    void Pump(double ms)
    {
        const double end = NowMs() + ms;
        do {
            MSG msg;
            while (PeekMessageA(&msg, m_window.Get(), WM_CHUNK_READY, WM_CHUNK_READY, PM_REMOVE))
                Take();
            Sleep(1);
        } while (NowMs() < end);
    }

    // The notices still queued after the reader has ended.
    void PumpRemaining()
    {
        MSG msg;
        while (PeekMessageA(&msg, m_window.Get(), WM_CHUNK_READY, WM_CHUNK_READY, PM_REMOVE))
            Take();
    }

    void Take()
    {
        ChunkNoticePtr notice = TakeQueuedChunk();
        ASSERT_TRUE(notice) << "an announcement without a chunk";
        m_counts.push_back(notice->count);
        m_painted.insert(m_painted.end(), notice->bytes, notice->bytes + notice->count);
    }

    std::vector<BYTE> CaptureFile()
    {
        std::vector<BYTE> bytes;
        EXPECT_TRUE(ReadWholeFile(CAPTURE_FILE, bytes));
        return bytes;
    }

    testing_support::CTestWindow m_window;
    CWinApp m_app;
    CWnd m_target;
    CImageDevice m_device;
    std::vector<BYTE> m_painted;
    std::vector<DWORD> m_counts;
};

TEST_F(CaptureReaderTest, StopLeavesTheWholeStreamRecordedAndTheDeviceStopped)
{
    StartStreaming();
    m_device.StartCapture();
    Pump(600);
    m_device.StopCapture();

    // Closed: nobody else holds the file.
    HANDLE exclusive = CreateFileA(CAPTURE_FILE, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, exclusive);
    CloseHandle(exclusive);

    const SIM_STATUS status = Status();
    const std::vector<BYTE> file = CaptureFile();
    EXPECT_GT(file.size(), 12288u);
    EXPECT_EQ(status.bytesDelivered, file.size());
    EXPECT_EQ(status.deliveredHash, Fnv1a(file.data(), file.size()));
    EXPECT_FALSE(status.streaming);
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ("11 00 01", Log().back());
    EXPECT_EQ(512u, status.readLengthMin); // every read asks for a whole chunk
    EXPECT_EQ(512u, status.readLengthMax);

    // The window saw the same bytes, in read order.
    PumpRemaining();
    EXPECT_EQ(file, m_painted);
    EXPECT_EQ(0, QueuedChunks());
}

TEST_F(CaptureReaderTest, AShortReadIsPostedAndRecordedWithItsCount)
{
    const BYTE packet[] = {0x10, 0x07, 0x80};
    for (int i = 0; i < 100; ++i) // 100 acknowledgements wait in the device
        ASSERT_EQ(3u, m_device.Write(packet, sizeof(packet)));
    m_device.StartCapture();
    Pump(300);
    m_device.StopCapture();
    PumpRemaining();

    EXPECT_EQ(std::vector<DWORD>({100}), m_counts);
    EXPECT_EQ(std::vector<BYTE>(100, 0x10), CaptureFile());
}

TEST_F(CaptureReaderTest, EachCaptureStartsANewFile)
{
    StartStreaming();
    m_device.StartCapture();
    Pump(300);
    m_device.StopCapture();
    EXPECT_FALSE(CaptureFile().empty());

    // The reader's stop command ended the stream: the next capture reads nothing.
    m_device.StartCapture();
    Pump(300);
    m_device.StopCapture();
    EXPECT_TRUE(CaptureFile().empty());
}

TEST_F(CaptureReaderTest, StopWithoutAReaderReturnsAtOnce)
{
    ASSERT_TRUE(m_sim.ClearLog(0));
    const double start = NowMs();
    m_device.StopCapture();
    m_device.StopCapture();
    EXPECT_LT(NowMs() - start, 20.0);
    EXPECT_TRUE(Log().empty());
}


TEST_F(CaptureReaderTest, FailedConnectsUnderTheReaderNeitherSpinNorUseStaleHandles)
{
    StartStreaming();
    m_device.StartCapture();
    const char sentinel[] = "STALE-HANDLE-SENTINEL";
    char sentinelPath[MAX_PATH];
    GetTempPathA(MAX_PATH, sentinelPath);
    lstrcatA(sentinelPath, "orlavent-sentinel.bin");

    for (int round = 0; round < 5; ++round) {
        Pump(100);
        ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_NO_QUERY_REPLY));
        EXPECT_FALSE(m_device.Connect()); // resets and closes under the reader
        EXPECT_FALSE(m_device.IsOpen());

        // Handle values are reused at once: a reader that kept the old
        // value would now read this file.
        HANDLE hFile = CreateFileA(sentinelPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD written = 0;
        if (!WriteFile(hFile, sentinel, sizeof(sentinel), &written, &ov))
            GetOverlappedResult(hFile, &ov, &written, TRUE);
        CloseHandle(ov.hEvent);

        const double cpuBefore = ProcessCpuMs();
        Pump(400);
        const double cpuUsed = ProcessCpuMs() - cpuBefore;
        EXPECT_LT(cpuUsed, 200.0) << "the reader spins while the link is closed";
        CloseHandle(hFile);

        ASSERT_TRUE(m_sim.SetFaults(0, 0));
        // Reopened (a handshake would race the reader for the reply): the
        // reader must read from the new handle.
        ASSERT_TRUE(m_device.Open(GUID_DEVINTERFACE_IMAGEDEV, 0));
        const BYTE start = 0xA1;
        ASSERT_EQ(1u, m_device.Write(&start, 1));
    }
    const DWORD deliveredBefore = Status().bytesDelivered;
    Pump(300);
    EXPECT_GT(Status().bytesDelivered, deliveredBefore);
    m_device.StopCapture();
    DeleteFileA(sentinelPath);

    const std::vector<BYTE> file = CaptureFile();
    const std::string recorded(file.begin(), file.end());
    EXPECT_EQ(std::string::npos, recorded.find(sentinel));
}

TEST_F(CaptureReaderTest, AnUnpluggedDeviceDoesNotMakeTheReaderSpin)
{
    StartStreaming();
    m_device.StartCapture();
    Pump(200);
    ASSERT_TRUE(m_sim.SetPlugged(0, FALSE)); // the link stays open; every read now fails at once
    ASSERT_TRUE(m_sim.ClearLog(0));
    Pump(1000);
    // About one read per read time-out; a spinning reader makes thousands.
    EXPECT_LE(Status().refusedRequests, 10u) << "the reader spins on a device that has gone away";

    const double start = NowMs();
    m_device.StopCapture();
    EXPECT_LT(NowMs() - start, 150.0) << "an idle reader should wake at once when stopped";
    ASSERT_TRUE(m_sim.SetPlugged(0, TRUE));
}

// A transfer ended by a zero-length packet is a success with no bytes: the
// reader reads again at once. Pausing as for a failed read would let the
// sensor's 64 KB buffer overflow within half a second at this rate.
TEST_F(CaptureReaderTest, ZeroLengthReadsDoNotStallTheStream)
{
    ASSERT_TRUE(m_sim.SetRate(0, 10));
    StartStreaming();
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_ZERO_READS));
    m_device.StartCapture();
    Pump(1500);
    m_device.StopCapture();

    const SIM_STATUS status = Status();
    const std::vector<BYTE> file = CaptureFile();
    EXPECT_EQ(0u, status.overflowBytes);
    EXPECT_GT(file.size(), 12288u);
    EXPECT_EQ(status.bytesDelivered, file.size());
    EXPECT_EQ(status.deliveredHash, Fnv1a(file.data(), file.size()));
}

// A driver that neither completes nor cancels reads: Stop still returns
// within a read's time-out and cancellation grace, the abandoned read is
// kept alive, and the file holds exactly what was delivered.
TEST_F(CaptureReaderTest, AStuckDriverDelaysStopOnlyByTheBoundedWaits)
{
    StartStreaming();
    m_device.StartCapture();
    Pump(300);
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_HOLD_READS));
    while (Status().heldRequests == 0)
        Pump(10);
    const double start = NowMs();
    m_device.StopCapture();
    EXPECT_LT(NowMs() - start, 3000.0);
    EXPECT_GE(ParkedRequests(), 1);

    const SIM_STATUS status = Status();
    const std::vector<BYTE> file = CaptureFile();
    EXPECT_EQ(status.bytesDelivered, file.size());
    EXPECT_EQ(status.deliveredHash, Fnv1a(file.data(), file.size()));
    EXPECT_EQ("11 00 01", Log().back());
}

TEST_F(CaptureReaderTest, AnUncreatableCaptureFileLeavesTheCaptureRunning)
{
    DeleteFileA(CAPTURE_FILE);
    ASSERT_TRUE(CreateDirectoryA(CAPTURE_FILE, nullptr));
    StartStreaming();
    m_device.StartCapture();
    Pump(300);
    m_device.StopCapture();
    RemoveDirectoryA(CAPTURE_FILE);

    EXPECT_FALSE(m_painted.empty());
    EXPECT_EQ("11 00 01", Log().back());
}

TEST_F(CaptureReaderTest, APainterThatFallsBehindKeepsTheBacklogBoundedAndTheFileWhole)
{
    ASSERT_TRUE(m_sim.SetRate(0, SIM_RATE_FLAT_OUT));
    StartStreaming();
    m_device.StartCapture();
    long peak = 0;
    for (int i = 0; i < 100; ++i) { // nobody paints for a second
        Sleep(10);
        peak = std::max(peak, QueuedChunks());
    }
    m_device.StopCapture();

    EXPECT_LE(peak, MAX_QUEUED_CHUNKS);
    EXPECT_EQ(MAX_QUEUED_CHUNKS, QueuedChunks()) << "the stream should have outrun the bound";
    const SIM_STATUS status = Status();
    const std::vector<BYTE> file = CaptureFile();
    EXPECT_GT(file.size(), MAX_QUEUED_CHUNKS * CHUNK_SIZE);
    EXPECT_EQ(status.bytesDelivered, file.size());
    EXPECT_EQ(status.deliveredHash, Fnv1a(file.data(), file.size()));

    EXPECT_EQ(static_cast<size_t>(MAX_QUEUED_CHUNKS), DiscardQueuedChunks(m_window.Get()));
    EXPECT_EQ(0, QueuedChunks());
}

TEST_F(CaptureReaderTest, NoticesForAWindowThatIsGoneAreReleased)
{
    HWND gone = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    m_target.m_hWnd = gone;
    StartStreaming();
    m_device.StartCapture();
    Sleep(300);
    m_device.StopCapture();
    EXPECT_FALSE(CaptureFile().empty());
    EXPECT_EQ(0, QueuedChunks());
}

} // namespace

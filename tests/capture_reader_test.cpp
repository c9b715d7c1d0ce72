// The capture reader against the simulated sensor: what reaches the window
// and the capture file, stopping, a link closed under the reader, faulty
// drivers, a device that falls silent or loses bytes, the bounded backlog,
// and a disk that fills up or stalls.
#include "afx/afxwin.h"
#include "device/capture_session.h"
#include "device/chunk_notice.h"
#include "device/device_request.h"
#include "stream/stream_format.h"
#include "tests/test_support.h"
#include <algorithm>
#include <cstdlib>
#include <functional>

using stopwatch::NowMs;
using testing_support::ReadWholeFile;

namespace {

// Pictures per second where a test is about the reader's manner rather than
// its speed, so that a loaded machine does not make the sensor drop bytes.
constexpr DWORD GENTLE_RATE = 10;
constexpr DWORD STREAM_PICTURE = 12288 + 6; // a picture with its marker

class CaptureReaderTest : public SimTest {
protected:
    CaptureReaderTest() : m_window(64, 64) {}

    void SetUp() override
    {
        SimTest::SetUp();
        m_target.m_hWnd = m_window.Get();
        m_app.m_pMainWnd = &m_target;
        m_device.SetChunkQueue(&m_queue);
        ASSERT_TRUE(m_device.Connect());
    }

    void TearDown() override
    {
        m_device.StopCapture();
        m_queue.Discard(m_window.Get());
        m_app.m_pMainWnd = nullptr;
        m_target.m_hWnd = nullptr;
        SimTest::TearDown();
    }

    void StartStreaming()
    {
        ASSERT_TRUE(m_device.StartImaging(DEFAULT_SENSOR_SETTINGS));
        ASSERT_TRUE(m_sim.ClearLog(0)); // counts only what the reader reads
    }

    // Handles the window's announcements, as the main window would, keeping
    // the chunks' bytes in order, until `done` or a limit only a fault reaches.
    void PumpUntil(const std::function<bool()>& done, double limitMs = 15000)
    {
        const double end = NowMs() + limitMs;
        do {
            MSG msg;
            while (PeekMessageA(&msg, m_window.Get(), WM_CHUNK_READY, WM_CHUNK_READY, PM_REMOVE))
                Take();
            while (PeekMessageA(&msg, m_window.Get(), WM_CAPTURE_PROBLEM, WM_CAPTURE_PROBLEM, PM_REMOVE))
                TakeProblems();
            Sleep(1);
        } while (!done() && NowMs() < end);
    }
    // Lets the reader run for a while, for what must not happen in it.
    void PumpFor(double ms)
    {
        const double end = NowMs() + ms;
        PumpUntil([&] { return NowMs() >= end; });
    }
    void PumpRemaining() { PumpUntil([] { return true; }); }
    ULONGLONG Delivered() { return Status().bytesDelivered; }

    void Take()
    {
        for (const ChunkNoticePtr& notice : m_queue.TakeAll()) {
            m_painted.insert(m_painted.end(), notice->bytes, notice->bytes + notice->count);
        }
    }

    void TakeProblems()
    {
        CaptureProblem problem;
        while (m_device.TakeCaptureProblem(problem))
            m_problems.push_back(problem);
    }

    std::vector<BYTE> CaptureFile()
    {
        std::vector<BYTE> bytes;
        EXPECT_TRUE(ReadWholeFile(CAPTURE_FILE_PATH, bytes));
        return bytes;
    }

    // The file holds exactly what the sensor delivered.
    ::testing::AssertionResult IsTheStream(const std::vector<BYTE>& file)
    {
        const SIM_STATUS status = Status();
        if (status.bytesDelivered == file.size() && status.deliveredHash == testing_support::Fnv1a(file.data(), file.size()))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << file.size() << " bytes recorded, not the " << status.bytesDelivered << " delivered";
    }

    testing_support::CTestWindow m_window;
    CWinApp m_app;
    CWnd m_target;
    CChunkQueue m_queue; // before the device: its reader hands chunks on to it
    CImageDevice m_device;
    std::vector<BYTE> m_painted;
    std::vector<CaptureProblem> m_problems;
};

// A whole ring of reads waits in the device between its bursts, and what
// they bring reaches the file and the window exactly and in order; markers
// that a read splits are no lost bytes. The reader's stop command ends the
// stream, and each capture starts a new file.
TEST_F(CaptureReaderTest, QueuedReadsDeliverTheWholeStreamInOrderUntilStop)
{
    StartStreaming();
    EXPECT_TRUE(m_device.StartCapture());
    DWORD mostPending = 0;
    PumpUntil([&] {
        mostPending = std::max(mostPending, Status().pendingReads);
        return mostPending == RING_SLOTS && Delivered() > 3 * STREAM_PICTURE;
    });
    m_device.StopCapture();
    EXPECT_EQ(RING_SLOTS, mostPending);

    const SIM_STATUS status = Status();
    const std::vector<BYTE> file = CaptureFile();
    EXPECT_GT(file.size(), 3u * STREAM_PICTURE);
    EXPECT_TRUE(IsTheStream(file));
    EXPECT_EQ(0u, status.overflowBytes);
    EXPECT_EQ(0u, status.pendingReads) << "a read left behind in the device";
    EXPECT_FALSE(status.streaming);
    EXPECT_EQ("11 00 01", Log().back());
    EXPECT_TRUE(status.readLengthMin == READ_BYTES && status.readLengthMax == READ_BYTES)
        << "every read asks for eight chunks";

    PumpRemaining();
    EXPECT_EQ(file, m_painted);
    EXPECT_EQ(0, m_queue.Count());
    EXPECT_TRUE(m_problems.empty());

    m_device.StartCapture();
    PumpFor(300);
    m_device.StopCapture();
    EXPECT_TRUE(CaptureFile().empty());
}

TEST_F(CaptureReaderTest, AShortReadIsPostedAndRecordedWithItsCount)
{
    ASSERT_TRUE(m_sim.ClearLog(0));
    m_device.StopCapture(); // no reader: nothing to stop, nothing sent
    EXPECT_TRUE(Log().empty());

    const BYTE packet[] = {0x10, 0x07, 0x80};
    for (int i = 0; i < 100; ++i) // 100 acknowledgements wait in the device
        ASSERT_EQ(3u, m_device.Write(packet, sizeof(packet)));
    m_device.StartCapture();
    PumpUntil([&] { return m_painted.size() >= 100; });
    m_device.StopCapture();
    PumpRemaining();

    EXPECT_EQ(std::vector<BYTE>(100, 0x10), m_painted);
    EXPECT_EQ(std::vector<BYTE>(100, 0x10), CaptureFile());
}

// A device that keeps its reads and sends nothing (a hung firmware), and
// one that has gone away and fails every read at once: each is told once,
// about two seconds after its last byte, with what the file holds, and
// costs only a few requests a second. The first comes back and is recorded
// again; the bytes it dropped meanwhile are told as lost.
TEST_F(CaptureReaderTest, ADeviceThatFallsSilentIsToldOnceAndRecordedAgainWhenItComesBack)
{
    ASSERT_TRUE(m_sim.SetRate(0, GENTLE_RATE));
    for (const bool unplug : {false, true}) {
        SCOPED_TRACE(unplug ? "unplugged" : "reads kept");
        m_problems.clear();
        StartStreaming();
        m_device.StartCapture();
        PumpUntil([&] { return Delivered() > STREAM_PICTURE; });
        ASSERT_TRUE(unplug ? m_sim.SetPlugged(0, FALSE) : m_sim.SetFaults(0, SIM_FAULT_HOLD_READS));
        // Reads queued before the fault are still filled: the silence
        // begins with the last byte delivered.
        double silentFrom = NowMs();
        ULONGLONG delivered = Delivered();
        PumpUntil([&] {
            if (Delivered() != delivered) {
                delivered = Delivered();
                silentFrom = NowMs();
            }
            return !m_problems.empty();
        }, 10000);
        EXPECT_NEAR(SILENCE_TOLD_MS, NowMs() - silentFrom, 600.0);
        const DWORD refusedBefore = Status().refusedRequests;
        PumpFor(1000);
        EXPECT_LE(Status().refusedRequests - refusedBefore, 10u) << "the reader spins on a device that has gone away";
        ASSERT_EQ(1u, m_problems.size());
        EXPECT_EQ(CaptureProblem::DEVICE_NOT_ANSWERING, m_problems[0].kind);
        EXPECT_TRUE(m_problems[0].bRecording);
        EXPECT_EQ(Delivered(), m_problems[0].fileBytes);
        if (!unplug) {
            const ULONGLONG before = Delivered();
            ASSERT_TRUE(m_sim.SetFaults(0, 0));
            PumpUntil([&] { return Delivered() > before + 2 * STREAM_PICTURE && m_problems.size() > 1; });
            ASSERT_EQ(2u, m_problems.size());
            EXPECT_EQ(CaptureProblem::BYTES_LOST, m_problems[1].kind) << "the device's buffer overflowed";
        }
        m_device.StopCapture();
        EXPECT_TRUE(IsTheStream(CaptureFile()));
    }
    ASSERT_TRUE(m_sim.SetPlugged(0, TRUE));
}

// Drivers as they are: reads that end with no bytes, transfer errors, a
// driver that takes one read at a time and refuses the next at once or
// through its completion, completions that claim more than was asked for.
// The reader keeps reading, follows the depth a driver accepts at issue
// time, records and paints every byte delivered, and loses none in the
// device. Only the bytes a failed transfer took with it are told, once.
struct ReadFault {
    const char* name;
    DWORD faults;
    DWORD flakyEvery;
    DWORD rate;
    DWORD mostPending; // 0: not checked
};

class CaptureReadFaultTest : public CaptureReaderTest, public ::testing::WithParamInterface<ReadFault> {};

TEST_P(CaptureReadFaultTest, RecordsEveryByteDeliveredAndTellsOnlyLostOnes)
{
    const ReadFault& fault = GetParam();
    ASSERT_TRUE(m_sim.SetRate(0, fault.rate));
    StartStreaming();
    ASSERT_TRUE(m_sim.SetFaults(0, fault.faults, 0, 0, fault.flakyEvery));
    m_device.StartCapture();
    DWORD mostPending = 0;
    PumpUntil([&] {
        const SIM_STATUS status = Status();
        mostPending = std::max(mostPending, status.pendingReads);
        return status.bytesDelivered > 8 * STREAM_PICTURE && status.flakyReads >= (fault.flakyEvery ? 3u : 0u);
    }, 30000);
    m_device.StopCapture();
    PumpRemaining();

    const SIM_STATUS status = Status();
    EXPECT_EQ(0u, status.overflowBytes) << "bytes dropped at the sensor";
    const std::vector<BYTE> file = CaptureFile();
    EXPECT_GT(file.size(), 8u * STREAM_PICTURE);
    EXPECT_TRUE(IsTheStream(file));
    EXPECT_EQ(file, m_painted);
    const bool losesBytes = fault.flakyEvery && !(fault.faults & SIM_FAULT_FLAKY_CARRIES);
    ASSERT_EQ(losesBytes ? 1u : 0u, m_problems.size());
    EXPECT_TRUE(!losesBytes || m_problems[0].kind == CaptureProblem::BYTES_LOST);
    EXPECT_TRUE(!fault.mostPending || fault.mostPending == mostPending) << mostPending << " reads pending at most";
    EXPECT_TRUE(!(fault.faults & (SIM_FAULT_SINGLE_READ | SIM_FAULT_BUSY_LATE)) || status.busyReads <= RING_SLOTS)
        << "refused again after the depth was learnt";
}

const ReadFault READ_FAULTS[] = {
    {"ZeroLengthReads", SIM_FAULT_ZERO_READS, 0, SIM_RATE_DEFAULT, 0},
    {"EverySecondReadFailing", SIM_FAULT_FLAKY_READS, 2, GENTLE_RATE, 0},
    {"OneReadAtATime", SIM_FAULT_SINGLE_READ, 0, GENTLE_RATE, 1},
    {"OneReadAtATimeOneInFiftyFailing", SIM_FAULT_SINGLE_READ | SIM_FAULT_FLAKY_READS, 50, SIM_RATE_DEFAULT, 1},
    {"BusyRefusalsAsCompletions", SIM_FAULT_BUSY_LATE, 0, SIM_RATE_DEFAULT, 1},
    {"TransferErrorsCarryingBytes", SIM_FAULT_FLAKY_READS | SIM_FAULT_FLAKY_CARRIES, 3, SIM_RATE_DEFAULT, 0},
    {"CompletionsLongerThanTheirReads", SIM_FAULT_OVERLONG_READS, 0, SIM_RATE_DEFAULT, 0},
};

INSTANTIATE_TEST_SUITE_P(CaptureReaderTest, CaptureReadFaultTest, ::testing::ValuesIn(READ_FAULTS),
                         [](const ::testing::TestParamInfo<ReadFault>& info) { return std::string(info.param.name); });

// A driver that from some point neither completes nor cancels the reads it
// is given: Stop cancels what it can, waits for it within the cancellation
// grace, keeps the reads the driver holds alive, and the file holds exactly
// what was delivered up to the stop.
TEST_F(CaptureReaderTest, AStuckDriverDelaysStopOnlyByTheBoundedWaits)
{
    StartStreaming();
    m_device.StartCapture();
    PumpUntil([&] { return Delivered() > 0; });
    const long parkedBefore = ParkedRequests();
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_HOLD_READS));
    PumpUntil([&] { return Status().heldRequests > 0; });
    const double start = NowMs();
    m_device.StopCapture();
    EXPECT_LT(NowMs() - start, 3000.0);
    const long parked = ParkedRequests() - parkedBefore;
    EXPECT_GE(parked, 1);
    EXPECT_LE(parked, static_cast<long>(RING_SLOTS));
    EXPECT_EQ(static_cast<DWORD>(parked), Status().heldRequests);
    EXPECT_TRUE(IsTheStream(CaptureFile()));
    EXPECT_EQ("11 00 01", Log().back());
}

// Past 256 queued chunks the reader queues nothing more, while the file
// still receives every byte.
TEST_F(CaptureReaderTest, APainterThatFallsBehindKeepsTheBacklogBoundedAndTheFileWhole)
{
    ASSERT_TRUE(m_sim.SetRate(0, SIM_RATE_FLAT_OUT));
    StartStreaming();
    m_device.StartCapture();
    const double end = NowMs() + 15000;
    while (m_queue.Count() < 256 && NowMs() < end) // nobody takes them
        Sleep(10);
    const ULONGLONG deliveredAtFull = Delivered();
    while (Delivered() < deliveredAtFull + 64 * 512 && NowMs() < end)
        Sleep(10);
    m_device.StopCapture();

    EXPECT_EQ(256, m_queue.Count()) << "the stream should have reached the bound, and not passed it";
    EXPECT_TRUE(IsTheStream(CaptureFile()));
    EXPECT_EQ(256u, m_queue.Discard(m_window.Get()));
}

// A window that is gone does not stop the capture.
TEST_F(CaptureReaderTest, AWindowThatIsGoneLeavesTheCaptureRunning)
{
    HWND gone = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    m_target.m_hWnd = gone;
    StartStreaming();
    m_device.StartCapture();
    PumpUntil([&] { return Delivered() > 4 * 512; });
    m_device.StopCapture();

    EXPECT_EQ("11 00 01", Log().back());
    EXPECT_EQ(0, m_queue.Count());
    EXPECT_TRUE(IsTheStream(CaptureFile()));
}

// The reader is made ready before the start sequence, whose replies it
// must not take: until it is started it touches neither the device nor
// the last recording, and one stopped unstarted (the sequence failed)
// ends without a trace. Started, it records the stream from its first
// byte.
TEST_F(CaptureReaderTest, APreparedReaderTouchesNothingUntilItIsStarted)
{
    const std::string lastRecording(1000, 'R');
    HANDLE hFile = CreateFileA(CAPTURE_FILE_PATH, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(hFile, lastRecording.data(), static_cast<DWORD>(lastRecording.size()), &written, nullptr);
    CloseHandle(hFile);

    ASSERT_TRUE(m_device.PrepareCapture());
    EXPECT_FALSE(m_device.IsCapturing());
    StartStreaming();
    m_device.StopCapture();
    EXPECT_EQ(std::vector<BYTE>(lastRecording.begin(), lastRecording.end()), CaptureFile());
    EXPECT_TRUE(Log().empty()) << "a stop command from a reader that never started";
    EXPECT_EQ(0u, Status().readRequests);

    ASSERT_TRUE(m_device.Connect());
    ASSERT_TRUE(m_device.PrepareCapture());
    StartStreaming();
    EXPECT_TRUE(m_device.StartCapture());
    EXPECT_TRUE(m_device.IsCapturing());
    PumpUntil([&] { return Delivered() > STREAM_PICTURE; });
    m_device.StopCapture();
    const std::vector<BYTE> file = CaptureFile();
    EXPECT_TRUE(IsTheStream(file));
    ASSERT_GT(file.size(), stream_format::MARKER_LENGTH);
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + stream_format::MARKER_LENGTH, stream_format::MARKER));
}

// A capture file that cannot be created (here a folder of that name)
// leaves the picture running and is reported with the system's reason.
TEST_F(CaptureReaderTest, ACaptureFileThatCannotBeCreatedIsReportedAndThePictureGoesOn)
{
    DeleteFileA(CAPTURE_FILE_PATH);
    ASSERT_TRUE(CreateDirectoryA(CAPTURE_FILE_PATH, nullptr));
    StartStreaming();
    m_device.StartCapture();
    PumpUntil([&] { return m_painted.size() > 4 * 512 && !m_problems.empty(); });
    m_device.StopCapture();
    RemoveDirectoryA(CAPTURE_FILE_PATH);
    EXPECT_EQ("11 00 01", Log().back());
    ASSERT_EQ(1u, m_problems.size());
    EXPECT_EQ(CaptureProblem::FILE_NOT_CREATED, m_problems[0].kind);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), m_problems[0].error);
    EXPECT_GT(m_painted.size(), 4u * 512);
}

// Every request parked (a driver that kept them all): no ring can be made,
// so no capture runs, and the operator is told.
TEST_F(CaptureReaderTest, AReaderThatCannotBeMadeIsToldAndNoCaptureRuns)
{
    StartStreaming();
    std::vector<CDeviceRequest*> kept;
    while (ParkedRequests() < MAX_PARKED_REQUESTS) {
        DeviceRequestPtr request = CDeviceRequest::Create(0);
        request->Overlapped()->Internal = STATUS_PENDING; // never completes
        kept.push_back(request.get());
        ParkRequest(std::move(request));
    }
    EXPECT_FALSE(m_device.StartCapture());
    EXPECT_FALSE(m_device.IsCapturing());
    for (CDeviceRequest* request : kept)
        request->Overlapped()->Internal = 0; // completed: released at the next request
    PumpFor(100);
    ASSERT_EQ(1u, m_problems.size());
    EXPECT_EQ(CaptureProblem::NOT_STARTED, m_problems[0].kind);
}

// Run under a file size limit (ORLAVENT_FILE_LIMIT bytes), as on a disk
// that fills up, or with the capture file a pipe nobody reads
// (ORLAVENT_STALLED_DISK), as a disk that stops taking writes; the test run
// sets either. The capture and the picture go on and the operator is told
// once what the file holds: after a full disk, the stream's beginning, every
// byte of it in order; on a stalled disk, the end of the session's stop
// comes back within its bound, the stream stopped first.
TEST_F(CaptureReaderTest, AFullOrStalledDiskIsToldOnceAndThePictureGoesOn)
{
    const char* limitText = std::getenv("ORLAVENT_FILE_LIMIT");
    const bool stalled = std::getenv("ORLAVENT_STALLED_DISK") != nullptr;
    if (!limitText && !stalled)
        GTEST_SKIP() << "runs on a full or stalled disk only (the capture_full_disk test)";
    const size_t limit = limitText ? std::strtoul(limitText, nullptr, 10) : 0;

    StartStreaming();
    m_device.StartCapture();
    if (stalled)
        PumpFor(1000);
    PumpUntil([&] { return stalled || (!m_problems.empty() && m_painted.size() > limit + 64 * 1024); }, 30000);
    const double start = NowMs();
    m_device.StopCapture(END_SESSION_DRAIN_MS);
    EXPECT_LT(NowMs() - start, 4000.0);
    EXPECT_EQ("11 00 01", Log().back());
    PumpRemaining();

    ASSERT_EQ(1u, m_problems.size());
    EXPECT_EQ(CaptureProblem::RECORDING_FAILED, m_problems[0].kind);
    EXPECT_EQ(0u, Status().overflowBytes);
    if (stalled) {
        EXPECT_LT(m_problems[0].fileBytes, Delivered());
        return;
    }
    EXPECT_NE(0u, m_problems[0].error);
    const std::vector<BYTE> file = CaptureFile();
    EXPECT_EQ(file.size(), m_problems[0].fileBytes);
    EXPECT_LE(file.size(), limit);
    EXPECT_GT(file.size(), limit / 2);
    ASSERT_GT(m_painted.size(), file.size() + 64 * 1024) << "the picture stopped with the recording";
    EXPECT_TRUE(std::equal(file.begin(), file.end(), m_painted.begin())) << "the file is not the stream's beginning";
}

} // namespace

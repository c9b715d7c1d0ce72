// The simulated sensor's own faults and settings, seen as a reader sees
// them: overlapped reads on the device path, and simctl as a program.
#include <algorithm>
#include <string>
#include <vector>

#include "tests/test_support.h"

using testing_support::CountersAddUp;
using testing_support::NowMs;

namespace {

const char SENSOR_PATH[] = "\\\\?\\root#imagedev#0000#{1b65bedd-1d6a-11d6-807d-82b3dab6c625}";
const DWORD CHUNK = 512;
const std::vector<BYTE> START_STREAM = {0xA1};
const std::vector<BYTE> STOP_STREAM = {0x11, 0x00, 0x01};
const DWORD WAIT_MS = 5000;

// One overlapped read, as the capture reader issues them.
struct RawRead {
    RawRead() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~RawRead() { CloseHandle(overlapped.hEvent); }
    RawRead(const RawRead&) = delete;
    RawRead& operator=(const RawRead&) = delete;

    OVERLAPPED overlapped = {};
    std::vector<BYTE> buffer;
    BOOL issued = FALSE;              // ReadFile succeeded or left the read pending
    DWORD issueError = ERROR_SUCCESS; // GetLastError after ReadFile, if it returned FALSE
    DWORD count = 0;
    DWORD error = ERROR_SUCCESS;      // the outcome: issueError if the read failed at once,
                                      // else GetOverlappedResult's
};

class SimSensorTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        m_hDevice = CreateFileA(SENSOR_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, m_hDevice);
    }

    void TearDown() override
    {
        if (m_hDevice != INVALID_HANDLE_VALUE)
            CloseHandle(m_hDevice);
        SimTest::TearDown();
    }

    void Issue(RawRead& read, DWORD length = CHUNK)
    {
        read.buffer.assign(length, 0);
        read.issued = ReadFile(m_hDevice, read.buffer.data(), length, nullptr, &read.overlapped);
        read.issueError = read.issued ? ERROR_SUCCESS : GetLastError();
        read.issued = read.issued || read.issueError == ERROR_IO_PENDING;
        read.error = read.issued ? ERROR_SUCCESS : read.issueError;
    }

    // The read's outcome once it completes; one that failed at once is done.
    void Finish(RawRead& read)
    {
        if (!read.issued)
            return;
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(read.overlapped.hEvent, WAIT_MS)) << "the read never completed";
        read.error = GetOverlappedResult(m_hDevice, &read.overlapped, &read.count, FALSE) ? ERROR_SUCCESS
                                                                                         : GetLastError();
    }

    void Write(const std::vector<BYTE>& command)
    {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD written = 0;
        if (!WriteFile(m_hDevice, command.data(), static_cast<DWORD>(command.size()), nullptr, &overlapped)) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
        }
        EXPECT_TRUE(GetOverlappedResult(m_hDevice, &overlapped, &written, TRUE));
        EXPECT_EQ(command.size(), written);
        CloseHandle(overlapped.hEvent);
    }

    // A recording with no period near a read's length: a lost or repeated
    // read shows as a mismatch.
    static std::vector<BYTE> Recording(size_t bytes)
    {
        std::vector<BYTE> recording(bytes);
        for (size_t i = 0; i < bytes; ++i)
            recording[i] = static_cast<BYTE>(i % 251);
        return recording;
    }

    // Reads `n` chunks in turn; what the successful ones brought is
    // appended to `stream`, and `failed` gets each failure's number (from 1)
    // and error.
    void ReadInTurn(int n, std::vector<BYTE>& stream, std::vector<std::pair<int, DWORD>>& failed)
    {
        for (int i = 1; i <= n; ++i) {
            RawRead read;
            Issue(read);
            Finish(read);
            Collect(i, read, stream, failed);
        }
    }

    static void Collect(int number, const RawRead& read, std::vector<BYTE>& stream,
                        std::vector<std::pair<int, DWORD>>& failed)
    {
        if (read.error != ERROR_SUCCESS) {
            failed.push_back({number, read.error});
            EXPECT_EQ(0u, read.count) << "a failed read brought bytes";
            // As from a bus: the failure comes with the completion, not from ReadFile.
            EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), read.issueError);
            return;
        }
        stream.insert(stream.end(), read.buffer.begin(), read.buffer.begin() + read.count);
    }

    HANDLE m_hDevice = INVALID_HANDLE_VALUE;
};

// What reads in turn bring when every `every`-th one fails after the bus
// moved its first packet: the recording with that packet missing.
std::vector<BYTE> StreamWithLostPackets(const std::vector<BYTE>& recording, int reads, int every)
{
    std::vector<BYTE> stream;
    size_t at = 0;
    for (int i = 1; i <= reads; ++i) {
        const size_t taken = i % every ? CHUNK : SIM_BUS_PACKET_BYTES;
        if (i % every)
            stream.insert(stream.end(), recording.begin() + at, recording.begin() + at + taken);
        at += taken;
    }
    return stream;
}

// A transfer error every third read, whether the read finds output waiting
// (a flat-out stream) or waits for the paced stream and is filled by the
// bus: exactly reads 3, 6, ... fail with the data error, no bytes, and the
// packet the bus had moved into them lost; the stream goes on after it.
TEST_F(SimSensorTest, FlakyFailsEveryNthReadAfterItsFirstPacket)
{
    const std::vector<BYTE> recording = Recording(64 * 1024);
    const std::vector<BYTE> expected = StreamWithLostPackets(recording, 12, 3);
    const std::vector<std::pair<int, DWORD>> everyThird = {
        {3, ERROR_CRC}, {6, ERROR_CRC}, {9, ERROR_CRC}, {12, ERROR_CRC}};
    ASSERT_TRUE(m_sim.SetReplay(0, recording, FALSE));
    ASSERT_TRUE(m_sim.SetRate(0, SIM_RATE_FLAT_OUT));
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_FLAKY_READS, 0, 0, 3));
    Write(START_STREAM);
    std::vector<BYTE> stream;
    std::vector<std::pair<int, DWORD>> failed;
    ReadInTurn(12, stream, failed);
    EXPECT_EQ(everyThird, failed);
    EXPECT_TRUE(stream == expected) << "flat out: stream bytes lost or repeated";
    EXPECT_EQ(4u * SIM_BUS_PACKET_BYTES, Status().bytesLost);

    // Twelve reads wait before the paced stream starts.
    Write(STOP_STREAM);
    ASSERT_TRUE(m_sim.SetRate(0, SIM_RATE_DEFAULT));
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_FLAKY_READS, 0, 0, 3));
    ASSERT_TRUE(m_sim.ClearLog(0));
    RawRead waiting[12];
    for (RawRead& read : waiting)
        Issue(read);
    Write(START_STREAM); // the recording from its start again
    stream.clear();
    failed.clear();
    for (int i = 0; i < 12; ++i) {
        Finish(waiting[i]);
        Collect(i + 1, waiting[i], stream, failed);
    }
    EXPECT_EQ(everyThird, failed);
    EXPECT_TRUE(stream == expected) << "paced: stream bytes lost or repeated";
    const SIM_STATUS status = Status();
    EXPECT_EQ(4u * SIM_BUS_PACKET_BYTES, status.bytesLost);
    EXPECT_EQ(stream.size(), status.bytesDelivered);
    EXPECT_TRUE(CountersAddUp(status));
}

// The bus moves at most 19 packets of 64 bytes a millisecond, from the
// frame after a read was issued, however much the sensor holds: reads
// issued over a full buffer wait, and 60 KB take 51 frames at the least.
TEST_F(SimSensorTest, TheBusCarriesAtMostNineteenPacketsAFrame)
{
    const DWORD READ_BYTES = 4096, HELD = 15 * READ_BYTES;
    ASSERT_TRUE(m_sim.SetRate(0, SIM_RATE_DEFAULT));
    Write(START_STREAM);
    const double end = NowMs() + WAIT_MS;
    while (Status().bytesBuffered < HELD && NowMs() < end)
        Sleep(10);
    RawRead reads[HELD / READ_BYTES];
    const double start = NowMs();
    for (RawRead& read : reads)
        Issue(read, READ_BYTES);
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), reads[0].issueError) << "filled at once from the buffer";
    std::vector<BYTE> stream;
    std::vector<std::pair<int, DWORD>> failed;
    for (RawRead& read : reads) {
        Finish(read);
        Collect(0, read, stream, failed);
    }
    const double busMs = HELD / double(SIM_BUS_PACKETS_PER_FRAME * SIM_BUS_PACKET_BYTES);
    EXPECT_GE(NowMs() - start, busMs - 1) << "faster than the bus";
    EXPECT_EQ(HELD, stream.size());
    EXPECT_TRUE(CountersAddUp(Status()));
    Write(STOP_STREAM); // what the buffer still held is dropped
    EXPECT_TRUE(CountersAddUp(Status()));
}

// A pacer that runs late makes up every frame it missed: the sensor made
// its rate times the time (within 100 ms, for slow hosts), and what its
// buffer could not hold is overflow.
TEST_F(SimSensorTest, ALatePacerMakesUpTheWholeTimeAndCountsWhatDidNotFit)
{
    const double BYTES_PER_MS = SIM_BUS_RATE_PICTURES * (SIM_MARKER_BYTES + SIM_PICTURE_BYTES) / 1000.0;
    ASSERT_TRUE(m_sim.SetFifoSize(0, SIM_FIFO_MIN_BYTES));
    ASSERT_TRUE(m_sim.SetRate(0, SIM_BUS_RATE_PICTURES));
    Write(START_STREAM);
    const double start = NowMs();
    ASSERT_TRUE(m_sim.StallPacer(0, 400));
    Sleep(600);
    const SIM_STATUS status = Status();
    EXPECT_NEAR(BYTES_PER_MS * (NowMs() - start), static_cast<double>(status.bytesMade), BYTES_PER_MS * 100);
    EXPECT_EQ(status.bytesMade - SIM_FIFO_MIN_BYTES, status.overflowBytes);
    EXPECT_TRUE(CountersAddUp(status));
}

// Reads that wait take the stream as it comes; the sensor's buffer then
// keeps the oldest bytes up to its size and counts the rest as dropped, so
// what was read and what the buffer held make the stream's start, whole.
// A power-on reset gives the sensor back its full buffer.
TEST_F(SimSensorTest, TheBufferSizeLimitsWhatTheSensorKeeps)
{
    const DWORD RECORDING_BYTES = 20000; // about 54 ms at the default rate
    const std::vector<BYTE> recording = Recording(RECORDING_BYTES);
    ASSERT_TRUE(m_sim.SetReplay(0, recording, FALSE));
    EXPECT_EQ(static_cast<DWORD>(SIM_FIFO_BYTES), Status().fifoBytes);
    EXPECT_FALSE(m_sim.SetFifoSize(0, SIM_FIFO_MIN_BYTES - 1));
    EXPECT_FALSE(m_sim.SetFifoSize(0, SIM_FIFO_BYTES + 1));
    ASSERT_TRUE(m_sim.SetFifoSize(0, SIM_FIFO_MIN_BYTES));
    EXPECT_EQ(static_cast<DWORD>(SIM_FIFO_MIN_BYTES), Status().fifoBytes);

    RawRead waiting[4];
    for (RawRead& read : waiting)
        Issue(read);
    Write(START_STREAM);
    const double end = NowMs() + WAIT_MS;
    while (Status().replayPosition < RECORDING_BYTES && NowMs() < end) // nobody reads again meanwhile
        Sleep(10);
    std::vector<BYTE> stream;
    std::vector<std::pair<int, DWORD>> failed;
    for (int i = 0; i < 4; ++i) {
        Finish(waiting[i]);
        Collect(i + 1, waiting[i], stream, failed);
    }
    RawRead held;
    Issue(held, SIM_FIFO_BYTES);
    Finish(held);
    EXPECT_EQ(static_cast<DWORD>(SIM_FIFO_MIN_BYTES), held.count);
    Collect(5, held, stream, failed);
    EXPECT_TRUE(failed.empty());
    EXPECT_TRUE(std::equal(stream.begin(), stream.end(), recording.begin())) << "a gap in the stream";
    EXPECT_EQ(RECORDING_BYTES - stream.size(), Status().overflowBytes);
    EXPECT_TRUE(CountersAddUp(Status()));

    ASSERT_TRUE(m_sim.ResetState(0));
    EXPECT_EQ(static_cast<DWORD>(SIM_FIFO_BYTES), Status().fifoBytes);
}

// A driver that takes one read at a time refuses the second while the first
// waits: at once (singleread), or through the completion of a read it left
// pending (busylate). The first read is not disturbed.
TEST_F(SimSensorTest, AOneReadDriverRefusesTheSecondAtOnceOrThroughItsCompletion)
{
    const struct {
        DWORD fault;
        DWORD issueError;
    } drivers[] = {{SIM_FAULT_SINGLE_READ, ERROR_BUSY}, {SIM_FAULT_BUSY_LATE, ERROR_IO_PENDING}};
    for (const auto& driver : drivers) {
        ASSERT_TRUE(m_sim.SetFaults(0, driver.fault));
        RawRead first, second;
        Issue(first);
        Issue(second);
        Finish(second);
        EXPECT_EQ(driver.issueError, second.issueError) << driver.fault;
        EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), second.error) << driver.fault;
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first.overlapped.hEvent, 0)) << driver.fault;
        CancelIo(m_hDevice);
        Finish(first);
    }
    EXPECT_EQ(2u, Status().busyReads);
}

int RunSimctl(const std::string& arguments, std::string& output)
{
    return testing_support::RunProgram("simctl.exe", arguments, &output);
}

// Every fault word, with its number where it takes one, is taken in one
// script; a word simctl does not know, a flaky read every 0th, and a
// buffer out of range are refused, naming what was wrong.
TEST_F(SimSensorTest, SimctlTakesEveryFaultWordAndRefusesOthers)
{
    std::string output;
    EXPECT_EQ(0, RunSimctl("fault noquery badack=4 once nosync silent=9 nomarkers still zeroreads holdreads "
                           "holdreset refusestart shortquery badsync noack=2 overlong flaky=3 carry singleread busylate 1",
                           output))
        << output;

    EXPECT_NE(0, RunSimctl("fault still bogus", output));
    EXPECT_EQ(0u, output.find("unknown fault 'bogus'")) << output;
    EXPECT_EQ(output.size() - 1, output.find('\n')) << "not one line: " << output;
    EXPECT_NE(0, RunSimctl("fault flaky=0", output));
    EXPECT_NE(std::string::npos, output.find("'flaky=0'")) << output;

    EXPECT_NE(0, RunSimctl("fifo 65537", output));
    EXPECT_EQ(static_cast<DWORD>(SIM_FIFO_BYTES), Status(0).fifoBytes);
    EXPECT_EQ(0, RunSimctl("fifo 2048 1", output)) << output;
    EXPECT_EQ(static_cast<DWORD>(SIM_FIFO_MIN_BYTES), Status(1).fifoBytes);
}

} // namespace

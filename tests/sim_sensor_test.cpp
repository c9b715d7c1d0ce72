// The simulated sensor, seen as the product sees it: SetupDi enumeration,
// CreateFileA on the interface path, overlapped transfers with a 200 ms
// wait, CancelIo and the reset request.
#include "tests/test_support.h"

#include <setupapi.h>

#include <algorithm>
#include <thread>

#include "simsensor/sim_pattern.h"

using testing_support::Fnv1a;
using testing_support::NowMs;

namespace {

const GUID kImageDeviceInterface = {0x1b65bedd, 0x1d6a, 0x11d6, {0x80, 0x7d, 0x82, 0xb3, 0xda, 0xb6, 0xc6, 0x25}};
const DWORD kIoctlDeviceReset = 0x220008;
const DWORD kTransferWaitMs = 200;
const DWORD kStreamBytesPerPicture = SIM_MARKER_BYTES + SIM_PICTURE_BYTES;
const BYTE kMarker[SIM_MARKER_BYTES] = {0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60};
const BYTE kStop[] = {0x11, 0x00, 0x01};
const BYTE kQuery[] = {0x9A};
const BYTE kSync[] = {0x3F};
const BYTE kStart[] = {0xA1};
const BYTE kGain1[] = {0x10, 0x00, 0x0A};
const BYTE kGain2[] = {0x10, 0x01, 0x0A};

// Interface path of the present interface with this index, as the product finds it.
std::string InterfacePath(DWORD index)
{
    HDEVINFO set = SetupDiGetClassDevsA(&kImageDeviceInterface, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return "";
    std::string path;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    DWORD needed = 0;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &kImageDeviceInterface, index, &iface)) {
        SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &needed, nullptr);
        std::vector<BYTE> buffer(needed);
        auto detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (needed && SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, needed, nullptr, nullptr))
            path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

struct Transfer {
    DWORD count = 0;
    DWORD error = ERROR_SUCCESS;
};

// One overlapped handle on a sensor, used the way the product uses it.
class Sensor {
public:
    explicit Sensor(DWORD index = 0) : m_path(InterfacePath(index))
    {
        if (!m_path.empty())
            m_handle = CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~Sensor()
    {
        if (IsOpen())
            CloseHandle(m_handle);
    }
    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    const std::string& Path() const { return m_path; }

    template <size_t N> DWORD Write(const BYTE (&bytes)[N]) { return Io(false, const_cast<BYTE*>(bytes), N).count; }
    Transfer Read(BYTE* buffer, DWORD length) { return Io(true, buffer, length); }

    // Collects `length` bytes or gives up at the first read that brings nothing.
    std::vector<BYTE> ReadExactly(size_t length)
    {
        std::vector<BYTE> bytes(length);
        size_t got = 0;
        while (got < length) {
            Transfer t = Read(bytes.data() + got, static_cast<DWORD>(std::min<size_t>(length - got, 65535)));
            if (t.count == 0)
                break;
            got += t.count;
        }
        bytes.resize(got);
        return bytes;
    }

    BOOL Reset(DWORD code = kIoctlDeviceReset)
    {
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(m_handle, code, nullptr, 0, nullptr, 0, &returned, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING)
            ok = GetOverlappedResult(m_handle, &ov, &returned, TRUE);
        CloseHandle(ov.hEvent);
        return ok;
    }

    HANDLE Handle() const { return m_handle; }

private:
    Transfer Io(bool read, BYTE* buffer, DWORD length)
    {
        Transfer t;
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        BOOL ok = read ? ReadFile(m_handle, buffer, length, &t.count, &ov)
                       : WriteFile(m_handle, buffer, length, &t.count, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(ov.hEvent, kTransferWaitMs) != WAIT_OBJECT_0)
                CancelIo(m_handle);
            ok = GetOverlappedResult(m_handle, &ov, &t.count, TRUE);
        }
        if (!ok)
            t.error = GetLastError();
        CloseHandle(ov.hEvent);
        return t;
    }

    std::string m_path;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

BYTE ReadOneByte(Sensor& sensor)
{
    BYTE b = 0;
    return sensor.Read(&b, 1).count == 1 ? b : 0;
}

// Bytes of the reply to a query, as Connect reads it.
DWORD Query(Sensor& sensor)
{
    BYTE reply[12] = {};
    sensor.Write(kQuery);
    return sensor.Read(reply, sizeof(reply)).count;
}

// An overlapped read left pending, finished later by the test.
struct PendingRead {
    BYTE buffer[16] = {};
    OVERLAPPED ov = {};
    PendingRead() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~PendingRead() { CloseHandle(ov.hEvent); }
    bool Issue(HANDLE handle)
    {
        return !ReadFile(handle, buffer, sizeof(buffer), nullptr, &ov) && GetLastError() == ERROR_IO_PENDING;
    }
    Transfer Finish(HANDLE handle)
    {
        Transfer t;
        if (!GetOverlappedResult(handle, &ov, &t.count, TRUE))
            t.error = GetLastError();
        return t;
    }
};

std::vector<BYTE> ExpectedStream(DWORD frame, DWORD gain1, DWORD gain2)
{
    std::vector<BYTE> bytes(kMarker, kMarker + SIM_MARKER_BYTES);
    for (DWORD y = 0; y < SIM_PICTURE_HEIGHT; ++y)
        for (DWORD x = 0; x < SIM_PICTURE_WIDTH; ++x)
            bytes.push_back(SimPatternPixel(frame, x, y, gain1, gain2));
    return bytes;
}

} // namespace

class SimSensorTest : public SimTest {};

TEST_F(SimSensorTest, InterfacesEnumerateInIndexOrderAndOpen)
{
    Sensor first(0);
    EXPECT_EQ("\\\\?\\root#imagedev#0000#{1b65bedd-1d6a-11d6-807d-82b3dab6c625}", first.Path());
    ASSERT_TRUE(first.IsOpen());
    EXPECT_EQ("", InterfacePath(1)) << "device 1 starts absent";
    EXPECT_EQ(1u, Status().openHandles);

    ASSERT_TRUE(sim::SetInterfacePresent(1, TRUE));
    EXPECT_NE(std::string::npos, InterfacePath(0).find("#0000#"));
    EXPECT_NE(std::string::npos, InterfacePath(1).find("#0001#"));
    Sensor second(1);
    EXPECT_TRUE(second.IsOpen());

    ASSERT_TRUE(sim::SetInterfacePresent(0, FALSE));
    EXPECT_NE(std::string::npos, InterfacePath(0).find("#0001#")) << "index 0 is the first present one";
}

TEST_F(SimSensorTest, AnswersCommandsAndLogsEachWrite)
{
    Sensor sensor;
    ASSERT_TRUE(sensor.IsOpen());
    EXPECT_EQ(3u, sensor.Write(kStop));
    ASSERT_EQ(1u, sensor.Write(kQuery));
    BYTE reply[12] = {};
    EXPECT_GE(sensor.Read(reply, sizeof(reply)).count, 1u);
    EXPECT_EQ(3u, sensor.Write(kGain1));
    EXPECT_EQ(0x10, ReadOneByte(sensor));
    const BYTE longWrite[] = {0x10, 0x05, 0x02, 0x80};
    EXPECT_EQ(4u, sensor.Write(longWrite));
    EXPECT_EQ(0x10, ReadOneByte(sensor));
    EXPECT_EQ(1u, sensor.Write(kSync));
    EXPECT_EQ(0x3F, ReadOneByte(sensor));
    const BYTE unknown[] = {0x55};
    EXPECT_EQ(1u, sensor.Write(unknown));
    EXPECT_EQ(0u, sensor.Read(reply, sizeof(reply)).count) << "unknown bytes get no reply";

    const std::vector<std::string> expected = {"OPEN", "11 00 01", "9A", "10 00 0A", "10 05 02 80", "3F", "55"};
    EXPECT_EQ(expected, Log());
    SIM_STATUS status = Status();
    EXPECT_EQ(0x0A, status.regs[0]);
    EXPECT_EQ(0x02, status.regs[5]);
    EXPECT_EQ(2u, status.regWrites);
}

TEST_F(SimSensorTest, FaultScriptWithholdsOrSpoilsReplies)
{
    Sensor sensor;
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_NO_QUERY_REPLY | SIM_FAULT_NO_SYNC_ECHO));
    EXPECT_EQ(0u, Query(sensor));
    sensor.Write(kSync);
    EXPECT_EQ(0, ReadOneByte(sensor));

    // Entry 1 is acknowledged wrongly, every walk or only the first.
    for (DWORD once : {0u, 1u}) {
        ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_BAD_ACK | (once ? SIM_FAULT_BAD_ACK_ONCE : 0), 1));
        for (int walk = 0; walk < 2; ++walk) {
            EXPECT_EQ(4u, Query(sensor)); // a query restarts the count of register writes
            sensor.Write(kGain1);
            EXPECT_EQ(0x10, ReadOneByte(sensor));
            sensor.Write(kGain2);
            EXPECT_EQ(walk == 1 && once ? 0x10 : 0x11, ReadOneByte(sensor)) << "once " << once << " walk " << walk;
        }
    }

    // Silent after 4 bytes: stop stream and query pass, the next query does not.
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_GO_SILENT, 0, 4));
    EXPECT_EQ(3u, sensor.Write(kStop));
    EXPECT_EQ(4u, Query(sensor));
    EXPECT_EQ(0u, Query(sensor));
    EXPECT_EQ(3u, sensor.Write(kStop)) << "a silent device still takes writes";
}

TEST_F(SimSensorTest, StreamCarriesMarkedPicturesOfThePattern)
{
    Sensor sensor;
    sensor.Write(kGain1);
    sensor.Write(kGain2);
    BYTE acks[2] = {};
    ASSERT_EQ(2u, sensor.Read(acks, 2).count);
    const double started = NowMs();
    ASSERT_EQ(1u, sensor.Write(kStart));

    const std::vector<BYTE> stream = sensor.ReadExactly(2 * kStreamBytesPerPicture);
    const double elapsedMs = NowMs() - started;
    ASSERT_EQ(2 * kStreamBytesPerPicture, stream.size());
    const std::vector<BYTE> first(stream.begin(), stream.begin() + kStreamBytesPerPicture);
    const std::vector<BYTE> second(stream.begin() + kStreamBytesPerPicture, stream.end());
    EXPECT_TRUE(first == ExpectedStream(0, 0x0A, 0x0A));
    EXPECT_TRUE(second == ExpectedStream(1, 0x0A, 0x0A));
    // Two pictures at the default 30 per second take about 67 ms.
    EXPECT_GT(elapsedMs, 40.0);

    SIM_STATUS status = Status();
    EXPECT_EQ(2u + stream.size(), status.bytesDelivered);
    EXPECT_EQ(Fnv1a(stream.data(), stream.size(), Fnv1a(acks, 2)), status.deliveredHash);
    std::vector<BYTE> picture;
    ASSERT_TRUE(m_sim.GetPicture(0, picture));
    EXPECT_EQ(SimPatternPixel(status.picturesStarted - 1, 5, 7, 0x0A, 0x0A), picture[7 * SIM_PICTURE_WIDTH + 5]);
}

TEST_F(SimSensorTest, UnansweredReadIsCancelledAfterItsWait)
{
    Sensor sensor;
    BYTE buffer[512];
    const double started = NowMs();
    Transfer t = sensor.Read(buffer, sizeof(buffer));
    const double elapsedMs = NowMs() - started;
    EXPECT_EQ(0u, t.count);
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), t.error);
    EXPECT_GE(elapsedMs, 195.0);
    EXPECT_LT(elapsedMs, 400.0);
    SIM_STATUS status = Status();
    EXPECT_EQ(0u, status.pendingReads);
    EXPECT_EQ(0u, status.bytesDelivered);

    // Closing a handle ends its waiting reads too.
    PendingRead orphan;
    {
        Sensor other;
        ASSERT_TRUE(orphan.Issue(other.Handle()));
        EXPECT_EQ(1u, Status().pendingReads);
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(orphan.ov.hEvent, 1000));
    EXPECT_EQ(0u, Status().pendingReads);
    EXPECT_EQ(1u, Status().openHandles);
}

// Cancels racing with completions while the stream runs: whatever the
// host got is exactly what the device counted as delivered.
TEST_F(SimSensorTest, CancelRacingTheStreamLosesNoBytes)
{
    Sensor sensor;
    ASSERT_TRUE(m_sim.SetRate(0, 100));
    sensor.Write(kStart);
    std::vector<BYTE> received;
    BYTE chunk[512];
    const double started = NowMs();
    while (NowMs() - started < 500.0) {
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD got = 0;
        if (!ReadFile(sensor.Handle(), chunk, sizeof(chunk), &got, &ov) && GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(ov.hEvent, received.size() % 3) != WAIT_OBJECT_0)
                CancelIo(sensor.Handle());
            if (!GetOverlappedResult(sensor.Handle(), &ov, &got, TRUE))
                got = 0;
        }
        CloseHandle(ov.hEvent);
        received.insert(received.end(), chunk, chunk + got);
    }
    SIM_STATUS status = Status();
    EXPECT_GT(received.size(), 0u);
    EXPECT_EQ(received.size(), status.bytesDelivered);
    EXPECT_EQ(Fnv1a(received.data(), received.size()), status.deliveredHash);
    EXPECT_EQ(0u, status.pendingReads);
}

TEST_F(SimSensorTest, ReadsPendingOnTwoThreadsAreAnsweredInOrder)
{
    Sensor sensor;
    PendingRead first;
    ASSERT_TRUE(first.Issue(sensor.Handle()));
    Transfer second;
    std::thread reader([&] {
        PendingRead read;
        if (read.Issue(sensor.Handle()))
            second = read.Finish(sensor.Handle());
    });
    for (int i = 0; i < 100 && Status().pendingReads < 2; ++i)
        Sleep(5);
    EXPECT_EQ(2u, Status().pendingReads);

    sensor.Write(kQuery);
    Transfer t = first.Finish(sensor.Handle());
    EXPECT_EQ(4u, t.count) << "the whole query reply goes to the oldest read";
    sensor.Write(kSync);
    reader.join();
    EXPECT_EQ(1u, second.count);
    EXPECT_EQ(0u, Status().pendingReads);
}

TEST_F(SimSensorTest, ResetRequestIsCountedAndStopsTheStream)
{
    Sensor sensor;
    sensor.Write(kStart);
    EXPECT_TRUE(sensor.Reset());
    SIM_STATUS status = Status();
    EXPECT_EQ(1u, status.resetCount);
    EXPECT_EQ(0u, status.streaming);
    EXPECT_EQ("RESET", Log().back());
    EXPECT_FALSE(sensor.Reset(0x22000C)) << "the device has no other control code";
}

TEST_F(SimSensorTest, UnplugFailsIoAndHidesTheInterfaceUntilReplug)
{
    Sensor sensor;
    const std::string path = sensor.Path();
    PendingRead read;
    ASSERT_TRUE(read.Issue(sensor.Handle()));
    ASSERT_TRUE(m_sim.SetPlugged(0, FALSE));
    Transfer t = read.Finish(sensor.Handle());
    EXPECT_EQ(0u, t.count);
    EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), t.error);
    EXPECT_EQ(0u, sensor.Write(kQuery));
    EXPECT_FALSE(sensor.Reset());
    EXPECT_EQ("", InterfacePath(0));
    HANDLE direct = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, direct) << "opens are refused while unplugged";

    ASSERT_TRUE(m_sim.SetPlugged(0, TRUE));
    Sensor again;
    ASSERT_TRUE(again.IsOpen());
    EXPECT_EQ(1u, again.Write(kQuery));
    BYTE reply[12];
    EXPECT_EQ(4u, again.Read(reply, sizeof(reply)).count);
    EXPECT_EQ(0u, sensor.Write(kQuery)) << "a handle from before the unplug stays dead";
}

TEST_F(SimSensorTest, FullFifoDropsStreamButStopStillClearsTheWay)
{
    Sensor sensor;
    ASSERT_TRUE(m_sim.SetRate(0, 200)); // 2.4 MB/s fills the 64 KiB FIFO in under 30 ms
    sensor.Write(kStart);
    Sleep(300);
    EXPECT_GT(Status().overflowBytes, 0u);

    sensor.Write(kStop);
    sensor.Write(kQuery);
    BYTE reply[12] = {};
    EXPECT_EQ(4u, sensor.Read(reply, sizeof(reply)).count) << "the reply is not behind stale picture bytes";
}

TEST_F(SimSensorTest, FlatOutAnswersEveryReadAtOnce)
{
    Sensor sensor;
    ASSERT_TRUE(m_sim.SetRate(0, SIM_RATE_FLAT_OUT));
    sensor.Write(kStart);
    BYTE chunk[512];
    DWORD reads = 0, full = 0;
    const double started = NowMs();
    while (NowMs() - started < 1000.0) {
        ++reads;
        full += sensor.Read(chunk, sizeof(chunk)).count == sizeof(chunk);
    }
    EXPECT_EQ(reads, full);
    EXPECT_GT(reads, 500u) << "reads per second";
    RecordProperty("flat_out_reads_per_second", static_cast<int>(reads));
    EXPECT_EQ(reads * sizeof(chunk), Status().bytesDelivered);
}

// The simulated sensor, seen as the product sees it: SetupDi enumeration,
// overlapped transfers with a 200 ms wait and CancelIo. Faults and the reset
// are covered by the tests that drive it through CImageDevice.
#include "tests/test_support.h"

#include <setupapi.h>

#include "simsensor/sim_pattern.h"

using testing_support::NowMs;

namespace {

const GUID kImageDeviceInterface = {0x1b65bedd, 0x1d6a, 0x11d6, {0x80, 0x7d, 0x82, 0xb3, 0xda, 0xb6, 0xc6, 0x25}};
const DWORD kTransferWaitMs = 200;
const std::vector<BYTE> kQuery = {0x9A};
const std::vector<BYTE> kQueryReply = {0x49, 0x44, 0x80, 0x60};

// Interface path of the present interface with this index, as the product finds it.
std::string InterfacePath(DWORD index)
{
    HDEVINFO set = SetupDiGetClassDevsA(&kImageDeviceInterface, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    std::vector<BYTE> buffer(1024);
    auto detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(*detail);
    std::string path;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &kImageDeviceInterface, index, &iface) &&
        SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, static_cast<DWORD>(buffer.size()), nullptr, nullptr))
        path = detail->DevicePath;
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

// One overlapped handle on a sensor, used the way the product uses it.
struct Sensor {
    explicit Sensor(DWORD index = 0) : path(InterfacePath(index))
    {
        handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~Sensor() { if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle); }

    DWORD Write(std::vector<BYTE> bytes) { return Io(false, bytes.data(), static_cast<DWORD>(bytes.size())); }

    std::vector<BYTE> Read(size_t length)
    {
        std::vector<BYTE> bytes(length);
        bytes.resize(Io(true, bytes.data(), static_cast<DWORD>(length)));
        return bytes;
    }

    DWORD Io(bool read, BYTE* buffer, DWORD length)
    {
        DWORD count = 0;
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        BOOL ok = read ? ReadFile(handle, buffer, length, &count, &ov) : WriteFile(handle, buffer, length, &count, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(ov.hEvent, kTransferWaitMs) != WAIT_OBJECT_0)
                CancelIo(handle);
            ok = GetOverlappedResult(handle, &ov, &count, TRUE);
        }
        error = ok ? ERROR_SUCCESS : GetLastError();
        CloseHandle(ov.hEvent);
        return count;
    }

    std::string path;
    HANDLE handle;
    DWORD error = ERROR_SUCCESS; // of the last transfer
};

} // namespace

class SimSensorTest : public SimTest {};

TEST_F(SimSensorTest, InterfacesEnumerateInIndexOrderAndOpen)
{
    Sensor first(0);
    EXPECT_EQ("\\\\?\\root#imagedev#0000#{1b65bedd-1d6a-11d6-807d-82b3dab6c625}", first.path);
    EXPECT_NE(INVALID_HANDLE_VALUE, first.handle);

    ASSERT_TRUE(sim::SetInterfacePresent(1, TRUE));
    EXPECT_NE(std::string::npos, InterfacePath(0).find("#0000#"));
    EXPECT_NE(std::string::npos, InterfacePath(1).find("#0001#"));
    EXPECT_NE(INVALID_HANDLE_VALUE, Sensor(1).handle);

    ASSERT_TRUE(sim::SetInterfacePresent(0, FALSE));
    EXPECT_NE(std::string::npos, InterfacePath(0).find("#0001#")) << "index 0 is the first present one";
}

TEST_F(SimSensorTest, EachWriteIsOneCommandAnsweredAsTheDeviceDoes)
{
    // Each command with the reply it gets.
    const std::pair<std::vector<BYTE>, std::vector<BYTE>> cases[] = {
        {{0x11, 0x00, 0x01}, {}},           // stop stream
        {kQuery, kQueryReply},              // model and picture size, in one read
        {{0x10, 0x00, 0x0C}, {0x10}},       // register write: acknowledged
        {{0x10, 0x05, 0x02, 0x80}, {0x10}},
        {{0x3F}, {0x3F}},                   // sync: echoed
        {{0x55}, {}},                       // unknown: ignored
    };
    Sensor sensor;
    for (const auto& [command, reply] : cases) {
        EXPECT_EQ(command.size(), sensor.Write(command));
        EXPECT_EQ(reply, sensor.Read(16)) << "command 0x" << std::hex << int(command[0]);
    }
    const std::vector<std::string> log = {"OPEN", "11 00 01", "9A", "10 00 0C", "10 05 02 80", "3F", "55"};
    EXPECT_EQ(log, Log());
}

TEST_F(SimSensorTest, StreamCarriesMarkedPicturesOfThePattern)
{
    Sensor sensor;
    sensor.Write({0x10, 0x00, 0x14}); // gains feed the pattern
    sensor.Write({0x10, 0x01, 0x0A});
    ASSERT_EQ(std::vector<BYTE>({0x10, 0x10}), sensor.Read(2));
    sensor.Write({0xA1});

    const BYTE marker[SIM_MARKER_BYTES] = {0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60};
    std::vector<BYTE> expected;
    for (DWORD frame = 0; frame < 2; ++frame) {
        expected.insert(expected.end(), marker, marker + SIM_MARKER_BYTES);
        for (DWORD y = 0; y < SIM_PICTURE_HEIGHT; ++y)
            for (DWORD x = 0; x < SIM_PICTURE_WIDTH; ++x)
                expected.push_back(SimPatternPixel(frame, x, y, 0x14, 0x0A));
    }
    std::vector<BYTE> stream;
    while (stream.size() < expected.size()) {
        const std::vector<BYTE> chunk = sensor.Read(expected.size() - stream.size());
        if (chunk.empty())
            break;
        stream.insert(stream.end(), chunk.begin(), chunk.end());
    }
    EXPECT_TRUE(stream == expected) << "got " << stream.size() << " of " << expected.size() << " bytes";
}

TEST_F(SimSensorTest, UnansweredReadIsCancelledAfterItsWaitAndLosesNothingLater)
{
    Sensor sensor;
    const double started = NowMs();
    EXPECT_TRUE(sensor.Read(512).empty());
    const double elapsedMs = NowMs() - started;
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), sensor.error);
    EXPECT_GE(elapsedMs, 195.0);
    EXPECT_LT(elapsedMs, 400.0);
    EXPECT_EQ(0u, Status().pendingReads);

    sensor.Write(kQuery);
    EXPECT_EQ(kQueryReply, sensor.Read(16)) << "the cancelled read took no part of the reply";
    EXPECT_EQ(kQueryReply.size(), Status().bytesDelivered);
}

TEST_F(SimSensorTest, UnplugFailsIoAndHidesTheInterfaceUntilReplug)
{
    Sensor sensor;
    ASSERT_TRUE(m_sim.SetPlugged(0, FALSE));
    EXPECT_TRUE(sensor.Read(16).empty());
    EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), sensor.error);
    EXPECT_EQ(0u, sensor.Write(kQuery));
    EXPECT_EQ("", InterfacePath(0));
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(sensor.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr))
        << "opens are refused while unplugged";

    ASSERT_TRUE(m_sim.SetPlugged(0, TRUE));
    Sensor again;
    again.Write(kQuery);
    EXPECT_EQ(kQueryReply, again.Read(16));
    EXPECT_EQ(0u, sensor.Write(kQuery)) << "a handle from before the unplug stays dead";
}

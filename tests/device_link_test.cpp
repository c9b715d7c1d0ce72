// The device link against the simulated sensor: finding and opening the
// interface, timed transfers, the reset, and closing under a transfer.
#include <thread>

#include "device/device_request.h"
#include "device/image_device.h"
#include "tests/test_support.h"

using testing_support::NowMs;

namespace {

class DeviceLinkTest : public SimTest {
protected:
    CImageDevice m_device;
};

// Nothing listed, or listed but refusing the open: nothing opens and no
// call reaches the device.
TEST_F(DeviceLinkTest, NoDeviceOpensNothingAndAClosedLinkTransfersNothing)
{
    ASSERT_TRUE(sim::SetInterfacePresent(0, FALSE));
    EXPECT_FALSE(m_device.Open(GUID_DEVINTERFACE_IMAGEDEV, 0));
    EXPECT_FALSE(m_device.Connect());
    ASSERT_TRUE(m_sim.SetPlugged(0, FALSE));
    ASSERT_TRUE(sim::SetInterfacePresent(0, TRUE));
    EXPECT_FALSE(m_device.Open(GUID_DEVINTERFACE_IMAGEDEV, 0)) << "the open was refused";
    EXPECT_FALSE(m_device.IsOpen());
    EXPECT_FALSE(m_device.Connect());
    ASSERT_TRUE(m_sim.SetPlugged(0, TRUE));

    BYTE buffer[16] = {};
    EXPECT_EQ(0u, m_device.Read(buffer, sizeof(buffer)));
    EXPECT_EQ(0u, m_device.Write(buffer, 3));
    EXPECT_FALSE(m_device.Reset());
    EXPECT_FALSE(m_device.Close());
    EXPECT_FALSE(m_device.StartImaging(DEFAULT_SENSOR_SETTINGS));
    EXPECT_EQ(0u, Status().openCount);
    EXPECT_EQ(0u, Status().bytesReceived);
    EXPECT_TRUE(Log().empty());
}

TEST_F(DeviceLinkTest, UnansweredReadTimesOutAndLeavesNothingPending)
{
    ASSERT_TRUE(m_device.Open(GUID_DEVINTERFACE_IMAGEDEV, 0));
    BYTE buffer[512] = {};
    const double start = NowMs();
    EXPECT_EQ(0u, m_device.Read(buffer, sizeof(buffer)));
    EXPECT_GE(NowMs() - start, 190.0) << "the read did not wait its 200 ms";
    EXPECT_EQ(0u, Status().pendingReads);
    EXPECT_EQ(0u, Status().bytesDelivered);

    // The cancelled read must not swallow the next reply.
    const BYTE query = 0x9A;
    EXPECT_EQ(1u, m_device.Write(&query, 1));
    EXPECT_EQ(4u, m_device.Read(buffer, 12));
}

// The driver keeps the read, so only the link's own wait ends it: Close
// must wait for that, the read's time-out and its cancellation grace.
// (Closing the handle would end a read the driver does give up.)
TEST_F(DeviceLinkTest, CloseWaitsForATransferInFlightOnAnotherThread)
{
    ASSERT_TRUE(m_device.Open(GUID_DEVINTERFACE_IMAGEDEV, 0));
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_HOLD_READS));
    DWORD got = 1234;
    double readStarted = 0;
    std::thread reader([&] {
        BYTE buffer[64];
        readStarted = NowMs();
        got = m_device.Read(buffer, sizeof(buffer));
    });
    while (Status().heldRequests == 0)
        Sleep(1);

    EXPECT_TRUE(m_device.Close());
    const double closedAfter = NowMs() - readStarted;
    reader.join();
    EXPECT_GE(closedAfter, 200 + 1000 - 20.0) << "Close did not wait for the read";
    EXPECT_EQ(0u, got);
    EXPECT_FALSE(m_device.IsOpen());
}

// A driver that ignores cancellation costs each transfer its time-out plus
// one second, and the reset a second and a half plus one; their requests
// stay alive (parked) until the driver lets them go. The bounds are far
// above those waits: only an unbounded wait exceeds them.
TEST_F(DeviceLinkTest, AStuckDriverCostsBoundedWaitsAndItsRequestsStayAlive)
{
    ASSERT_TRUE(m_device.Open(GUID_DEVINTERFACE_IMAGEDEV, 0));
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_HOLD_READS | SIM_FAULT_HOLD_RESET));
    BYTE buffer[512];
    const double start = NowMs();
    EXPECT_EQ(0u, m_device.Read(buffer, sizeof(buffer)));
    EXPECT_FALSE(m_device.Reset());
    EXPECT_LT(NowMs() - start, 15000.0);
    EXPECT_EQ(2u, Status().heldRequests);
    EXPECT_EQ(2, ParkedRequests());

    // Held requests are cancelled when the faults go; the next transfer
    // finds them complete and releases them.
    ASSERT_TRUE(m_sim.SetFaults(0, 0));
    const BYTE query = 0x9A;
    for (int i = 0; i < 500 && ParkedRequests() > 0; ++i) {
        EXPECT_EQ(1u, m_device.Write(&query, 1));
        Sleep(20);
    }
    EXPECT_EQ(0, ParkedRequests());
    EXPECT_GE(m_device.Read(buffer, 12), 1u);
}

// A device unplugged and plugged back is a new device: the handle opened
// before fails for good, and the first Device Connect after opens anew.
TEST_F(DeviceLinkTest, UnplugFailsTransfersOnTheOpenHandleAndAReplugNeedsOneConnect)
{
    ASSERT_TRUE(m_device.Connect());
    ASSERT_TRUE(m_sim.SetPlugged(0, FALSE));
    BYTE buffer[8] = {};
    EXPECT_EQ(0u, m_device.Write(buffer, 3));
    EXPECT_EQ(0u, m_device.Read(buffer, sizeof(buffer)));
    EXPECT_EQ(2u, Status().refusedRequests);
    EXPECT_FALSE(m_device.Connect()) << "connected to a device that is gone";

    ASSERT_TRUE(m_sim.SetPlugged(0, TRUE));
    EXPECT_TRUE(m_device.Open(GUID_DEVINTERFACE_IMAGEDEV, 0)) << "the closed link opens again";
    ASSERT_TRUE(m_sim.SetPlugged(0, FALSE));
    ASSERT_TRUE(m_sim.SetPlugged(0, TRUE));
    EXPECT_TRUE(m_device.Connect()) << "the first press after a replug";
}

// A completion that claims more bytes than its read asked for is a driver
// fault: nothing is taken from it, so nothing is copied past the buffer.
// The sensor spoils every second read so.
TEST_F(DeviceLinkTest, ACompletionLongerThanItsReadIsRefused)
{
    ASSERT_TRUE(m_device.Open(GUID_DEVINTERFACE_IMAGEDEV, 0));
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_OVERLONG_READS));
    const BYTE query = 0x9A;
    BYTE reply[8];
    for (int i = 0; i < 2; ++i) { // one of the two reads is the faulty one
        FillMemory(reply, sizeof(reply), 0x55);
        ASSERT_EQ(1u, m_device.Write(&query, 1));
        const DWORD count = m_device.Read(reply, 4);
        EXPECT_TRUE(count == 0 || count == 4) << count;
        EXPECT_EQ(0x55, reply[4]) << "bytes written past the read's length";
    }
}

} // namespace

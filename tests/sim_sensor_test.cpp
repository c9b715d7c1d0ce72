// The simulated sensor's own records. Other tests bound counts by them (a
// reader that spins, reads of the wrong length, an overflow), and such a
// bound would pass unnoticed if the record never moved.
#include "device/image_device.h"
#include "tests/test_support.h"

namespace {

class SimSensorTest : public SimTest {};

TEST_F(SimSensorTest, RecordsCountReadsRefusalsAndOverflow)
{
    CImageDevice device;
    ASSERT_TRUE(device.Open(GUID_DEVINTERFACE_IMAGEDEV, 0));
    const BYTE query = 0x9A;
    BYTE buffer[300];
    ASSERT_EQ(1u, device.Write(&query, 1));
    EXPECT_EQ(4u, device.Read(buffer, 7)); // the four-byte query reply
    EXPECT_EQ(0u, device.Read(buffer, 300)); // nothing more: times out
    SIM_STATUS status = Status();
    EXPECT_EQ(2u, status.readRequests);
    EXPECT_EQ(7u, status.readLengthMin);
    EXPECT_EQ(300u, status.readLengthMax);
    EXPECT_EQ(0u, status.refusedRequests);

    ASSERT_TRUE(m_sim.SetPlugged(0, FALSE));
    EXPECT_EQ(0u, device.Read(buffer, 8));
    EXPECT_EQ(0u, device.Write(&query, 1));
    status = Status();
    EXPECT_EQ(2u, status.refusedRequests);
    EXPECT_EQ(2u, status.readRequests) << "a refused read counts as refused only";
    ASSERT_TRUE(m_sim.SetPlugged(0, TRUE));

    // A stream nobody reads fills the sensor's 64 KB buffer within a second.
    device.Close();
    ASSERT_TRUE(device.Connect());
    ASSERT_TRUE(device.StartImaging(DEFAULT_SENSOR_SETTINGS));
    for (int i = 0; i < 1000 && Status().overflowBytes == 0; ++i)
        Sleep(10);
    EXPECT_GT(Status().overflowBytes, 0u);
}

} // namespace

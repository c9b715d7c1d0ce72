// The command protocol against the simulated sensor: the connect handshake
// and the start sequence, seen as the bytes the device received.
#include <algorithm>

#include "device/image_device.h"
#include "tests/test_support.h"

namespace {

using LogLines = std::vector<std::string>;

const LogLines HANDSHAKE = {"11 00 01", "9A"};
const LogLines FAILED_HANDSHAKE = {"11 00 01", "9A", "RESET", "CLOSE"};
const LogLines SYNC_AND_START = {"3F", "A1"};

// What the device receives for the default settings 10, 10, 111, 110, 8, 0.
const LogLines DEFAULT_REGISTER_PACKETS = {
    "10 00 0A", "10 01 0A", "10 03 6F", "10 04 6E", "10 05 02 80", "10 06 01 E0", "10 07 80", "10 08 28",
    "10 09 28", "10 0A 50", "10 0B 20", "10 0C 40", "10 0D 00",    "10 0E 00",    "10 0F 7F", "10 10 06",
    "10 11 08", "10 12 80", "10 13 60", "10 14 10", "10 15 00",    "10 16 00",    "10 17 0A", "10 18 34",
    "10 1A 32", "10 1B 03", "10 1C 64", "10 1D 42", "10 1E 08",    "10 1F 00",    "10 92 7F", "10 02 01",
};

LogLines Joined(std::initializer_list<LogLines> parts)
{
    LogLines all;
    for (const LogLines& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

class ProtocolTest : public SimTest {
protected:
    // Connects and forgets the handshake, so the log holds what follows.
    void ConnectAndClear()
    {
        ASSERT_TRUE(m_device.Connect());
        ASSERT_TRUE(m_sim.ClearLog(0));
    }

    CImageDevice m_device;
};

// The handshake is stop then query, on one open however often it runs. A
// query without an answer resets the device and closes the link, and the
// next connect opens it again; a one-byte answer is an answer. A stop that
// cannot be written closes the link without a reset.
TEST_F(ProtocolTest, TheHandshakeIsStopThenQueryAndAFailedOneClosesTheLink)
{
    ASSERT_TRUE(m_device.Connect());
    ASSERT_TRUE(m_device.Connect());
    EXPECT_EQ(Joined({{"OPEN"}, HANDSHAKE, HANDSHAKE}), Log());

    ConnectAndClear();
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_NO_QUERY_REPLY));
    EXPECT_FALSE(m_device.Connect());
    EXPECT_FALSE(m_device.IsOpen());
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_SHORT_QUERY));
    EXPECT_TRUE(m_device.Connect());
    EXPECT_EQ(Joined({FAILED_HANDSHAKE, {"OPEN"}, HANDSHAKE}), Log());

    ASSERT_TRUE(m_sim.ClearLog(0));
    ASSERT_TRUE(m_sim.SetPlugged(0, FALSE));
    EXPECT_FALSE(m_device.Connect());
    EXPECT_FALSE(m_device.IsOpen());
    EXPECT_EQ(1u, Status().refusedRequests) << "the stop command only, no reset";
}

// Settings replace the value bytes of their entries by position; the table
// itself stays as it was, so the defaults then program as listed. The
// sensor gets 20 ms to apply each write before the next one (and the sync).
TEST_F(ProtocolTest, AnAcknowledgingDeviceIsProgrammedInOneAttempt)
{
    LogLines withSettings = DEFAULT_REGISTER_PACKETS;
    for (int k = 0; k < 6; ++k) // entries 0-3, then 28 and 29
        withSettings[k < 4 ? k : k + 24].replace(6, 2, "0" + std::to_string(k + 1));
    ConnectAndClear();
    EXPECT_TRUE(m_device.StartImaging({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Joined({withSettings, SYNC_AND_START}), Log());

    ConnectAndClear(); // stops the stream
    EXPECT_TRUE(m_device.StartImaging(DEFAULT_SENSOR_SETTINGS));
    EXPECT_EQ(Joined({DEFAULT_REGISTER_PACKETS, SYNC_AND_START}), Log());
    EXPECT_EQ(0u, Status().resetCount);
    EXPECT_TRUE(Status().streaming);

    std::vector<sim::LogRecord> records;
    ASSERT_TRUE(m_sim.GetLog(0, records));
    ASSERT_EQ(34u, records.size());
    for (size_t i = 1; i < 33; ++i) // the clock may round a little under
        EXPECT_GE(records[i].time - records[i - 1].time, 18u * 10000) << "no pause before record " << i;
}

// Each slip fails the start as a whole: five walks when it repeats, each
// retry after a reset and a handshake, and no success reported for a start
// command the device did not take.
TEST_F(ProtocolTest, ProtocolSlipsFailTheStart)
{
    const struct {
        const char* slip;
        DWORD fault;
        size_t walks, syncs, resets;
    } cases[] = {
        {"no acknowledgement", SIM_FAULT_NO_ACK, 5, 0, 4},
        {"no sync echo", SIM_FAULT_NO_SYNC_ECHO, 5, 5, 4},
        {"wrong sync echo", SIM_FAULT_BAD_SYNC_ECHO, 5, 5, 4},
        {"start command refused", SIM_FAULT_REFUSE_START, 1, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.slip);
        ConnectAndClear();
        ASSERT_TRUE(m_sim.SetFaults(0, c.fault, 4));
        EXPECT_FALSE(m_device.StartImaging(DEFAULT_SENSOR_SETTINGS));
        const LogLines log = Log();
        auto count = [&](const std::string& entry) { return size_t(std::count(log.begin(), log.end(), entry)); };
        EXPECT_EQ(c.walks, count(DEFAULT_REGISTER_PACKETS[0]));
        EXPECT_EQ(c.syncs, count("3F"));
        EXPECT_EQ(c.resets, count("RESET"));
        EXPECT_EQ(c.resets, count("9A"));
        EXPECT_EQ(0u, count("A1"));
        EXPECT_FALSE(Status().streaming);
        ASSERT_TRUE(m_sim.SetFaults(0, 0));
    }
}

// A wrong acknowledgement ends the walk there, and the retry starts over at
// the first register. When the walk fails at the sync and every reconnect
// at the query, which closes the link, each later attempt reopens it (the
// reset on the closed link goes nowhere); left closed, the next start fails
// without a transfer.
TEST_F(ProtocolTest, RetriesStartOverAndReopenALinkThatAFailedHandshakeClosed)
{
    ConnectAndClear();
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_BAD_ACK | SIM_FAULT_BAD_ACK_ONCE, 17));
    EXPECT_TRUE(m_device.StartImaging(DEFAULT_SENSOR_SETTINGS));
    const LogLines walked(DEFAULT_REGISTER_PACKETS.begin(), DEFAULT_REGISTER_PACKETS.begin() + 18);
    EXPECT_EQ(Joined({walked, {"RESET"}, HANDSHAKE, DEFAULT_REGISTER_PACKETS, SYNC_AND_START}), Log());

    ConnectAndClear();
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_NO_SYNC_ECHO | SIM_FAULT_NO_QUERY_REPLY));
    EXPECT_FALSE(m_device.StartImaging(DEFAULT_SENSOR_SETTINGS));
    EXPECT_FALSE(m_device.IsOpen());
    LogLines expected = Joined({DEFAULT_REGISTER_PACKETS, {"3F", "RESET"}, FAILED_HANDSHAKE});
    for (int retry = 2; retry <= 4; ++retry) // the first found the link open
        expected = Joined({expected, {"OPEN"}, FAILED_HANDSHAKE});
    EXPECT_EQ(expected, Log());

    ASSERT_TRUE(m_sim.ClearLog(0));
    EXPECT_FALSE(m_device.StartImaging(DEFAULT_SENSOR_SETTINGS));
    EXPECT_TRUE(Log().empty());
}

} // namespace

// The command protocol against the simulated sensor: the connect handshake
// and the start sequence, seen as the bytes the device received.
#include <algorithm>

#include "device/image_device.h"
#include "tests/test_support.h"

namespace {

const char* const HANDSHAKE[] = {"11 00 01", "9A"};

// What the device receives for the default settings 10, 10, 111, 110, 8, 0.
const std::vector<std::string> DEFAULT_REGISTER_PACKETS = {
    "10 00 0A", "10 01 0A", "10 03 6F", "10 04 6E", "10 05 02 80", "10 06 01 E0",
    "10 07 80", "10 08 28", "10 09 28", "10 0A 50", "10 0B 20",    "10 0C 40",
    "10 0D 00", "10 0E 00", "10 0F 7F", "10 10 06", "10 11 08",    "10 12 80",
    "10 13 60", "10 14 10", "10 15 00", "10 16 00", "10 17 0A",    "10 18 34",
    "10 1A 32", "10 1B 03", "10 1C 64", "10 1D 42", "10 1E 08",    "10 1F 00",
    "10 92 7F", "10 02 01",
};

size_t CountOf(const std::vector<std::string>& log, const std::string& entry)
{
    return static_cast<size_t>(std::count(log.begin(), log.end(), entry));
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
    SensorSettings m_settings = DEFAULT_SENSOR_SETTINGS;
};

TEST_F(ProtocolTest, ConnectSendsStopThenQueryOnOneOpen)
{
    ASSERT_TRUE(m_device.Connect());
    EXPECT_EQ(std::vector<std::string>({"OPEN", HANDSHAKE[0], HANDSHAKE[1]}), Log());

    // A second connect runs the handshake again on the handle already open.
    ASSERT_TRUE(m_device.Connect());
    EXPECT_EQ(1u, Status().openCount);
    EXPECT_EQ(2u, CountOf(Log(), "9A"));

    // A stop command that cannot be written closes the link, without a reset.
    ASSERT_TRUE(m_sim.SetPlugged(0, FALSE));
    EXPECT_FALSE(m_device.Connect());
    EXPECT_FALSE(m_device.IsOpen());
    EXPECT_EQ(0u, Status().resetCount);
}

TEST_F(ProtocolTest, UnansweredQueryResetsAndClosesAndTheNextConnectReopens)
{
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_NO_QUERY_REPLY));
    EXPECT_FALSE(m_device.Connect());
    EXPECT_FALSE(m_device.IsOpen());
    EXPECT_EQ(std::vector<std::string>({"OPEN", "11 00 01", "9A", "RESET", "CLOSE"}), Log());

    ASSERT_TRUE(m_sim.SetFaults(0, 0));
    EXPECT_TRUE(m_device.Connect());
    EXPECT_EQ(2u, Status().openCount);
}

// Settings replace the value bytes of their entries by position; the
// table itself stays as it was, so the defaults then program as listed.
TEST_F(ProtocolTest, AcknowledgingDeviceIsProgrammedInOneAttempt)
{
    ConnectAndClear();
    EXPECT_TRUE(m_device.StartImaging({1, 2, 3, 4, 5, 6}));
    std::vector<std::string> expected = DEFAULT_REGISTER_PACKETS;
    for (const auto& [entry, value] : {std::pair<int, const char*>{0, "01"}, {1, "02"}, {2, "03"}, {3, "04"},
                                       {28, "05"}, {29, "06"}})
        expected[entry].replace(6, 2, value);
    expected.insert(expected.end(), {"3F", "A1"});
    EXPECT_EQ(expected, Log());

    ConnectAndClear(); // stops the stream
    EXPECT_TRUE(m_device.StartImaging(m_settings));
    expected = DEFAULT_REGISTER_PACKETS;
    expected.insert(expected.end(), {"3F", "A1"});
    EXPECT_EQ(expected, Log());
    EXPECT_EQ(0u, Status().resetCount);
    EXPECT_TRUE(Status().streaming);

    // The sensor gets 20 ms to apply each write before the next one (and
    // the sync); the clock may round a little under.
    std::vector<sim::LogRecord> records;
    ASSERT_TRUE(m_sim.GetLog(0, records));
    ASSERT_EQ(34u, records.size());
    for (size_t i = 1; i < 33; ++i) {
        const DWORD gap100ns = records[i].time - records[i - 1].time;
        EXPECT_GE(gap100ns, 18u * 10000) << "no pause before record " << i;
    }
}

// A 1-byte answer to the query is an answer.
TEST_F(ProtocolTest, AOneByteQueryReplyCompletesTheHandshake)
{
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_SHORT_QUERY));
    EXPECT_TRUE(m_device.Connect());
    EXPECT_TRUE(m_device.IsOpen());
}

// Each slip fails the start as a whole: five walks when it repeats, each
// retry after a reset and a handshake, and no success reported for a start
// command the device did not take.
TEST_F(ProtocolTest, ProtocolSlipsFailTheStart)
{
    const struct {
        const char* slip;
        DWORD fault;
        size_t walks, syncs, resets, starts;
    } cases[] = {
        {"no acknowledgement", SIM_FAULT_NO_ACK, 5, 0, 4, 0},
        {"no sync echo", SIM_FAULT_NO_SYNC_ECHO, 5, 5, 4, 0},
        {"wrong sync echo", SIM_FAULT_BAD_SYNC_ECHO, 5, 5, 4, 0},
        {"start command refused", SIM_FAULT_REFUSE_START, 1, 1, 0, 0},
    };
    for (const auto& c : cases) {
        ConnectAndClear();
        ASSERT_TRUE(m_sim.SetFaults(0, c.fault, 4));
        EXPECT_FALSE(m_device.StartImaging(m_settings)) << c.slip;
        const std::vector<std::string> log = Log();
        EXPECT_EQ(c.walks, CountOf(log, DEFAULT_REGISTER_PACKETS[0])) << c.slip;
        EXPECT_EQ(c.syncs, CountOf(log, "3F")) << c.slip;
        EXPECT_EQ(c.resets, CountOf(log, "RESET")) << c.slip;
        EXPECT_EQ(c.resets, CountOf(log, "9A")) << c.slip;
        EXPECT_EQ(c.starts, CountOf(log, "A1")) << c.slip;
        EXPECT_FALSE(Status().streaming) << c.slip;
        ASSERT_TRUE(m_sim.SetFaults(0, 0));
    }
}

TEST_F(ProtocolTest, WrongAcknowledgementStopsTheWalkAndTheRetryStartsOver)
{
    ConnectAndClear();
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_BAD_ACK | SIM_FAULT_BAD_ACK_ONCE, 17));
    EXPECT_TRUE(m_device.StartImaging(m_settings));

    const std::vector<std::string> log = Log();
    std::vector<std::string> expected(DEFAULT_REGISTER_PACKETS.begin(), DEFAULT_REGISTER_PACKETS.begin() + 18);
    expected.insert(expected.end(), {"RESET", "11 00 01", "9A"});
    expected.insert(expected.end(), DEFAULT_REGISTER_PACKETS.begin(), DEFAULT_REGISTER_PACKETS.end());
    expected.insert(expected.end(), {"3F", "A1"});
    EXPECT_EQ(expected, log);
}

TEST_F(ProtocolTest, RetriesReopenALinkThatAFailedHandshakeClosed)
{
    ConnectAndClear();
    // The walk fails at the sync, and every reconnect fails at the query,
    // which closes the link: each later attempt has to reopen it.
    ASSERT_TRUE(m_sim.SetFaults(0, SIM_FAULT_NO_SYNC_ECHO | SIM_FAULT_NO_QUERY_REPLY));
    EXPECT_FALSE(m_device.StartImaging(m_settings));
    EXPECT_FALSE(m_device.IsOpen());

    const std::vector<std::string> log = Log();
    const std::vector<std::string> failedReconnect = {"11 00 01", "9A", "RESET", "CLOSE"};
    std::vector<std::string> expected(DEFAULT_REGISTER_PACKETS);
    expected.push_back("3F");
    expected.push_back("RESET"); // attempt 1: the link is still open
    expected.insert(expected.end(), failedReconnect.begin(), failedReconnect.end());
    for (int attempt = 2; attempt < 5; ++attempt) { // the reset on the closed link goes nowhere
        expected.push_back("OPEN");
        expected.insert(expected.end(), failedReconnect.begin(), failedReconnect.end());
    }
    EXPECT_EQ(expected, log);

    // Left closed: the next start fails at once, without a transfer.
    ASSERT_TRUE(m_sim.ClearLog(0));
    EXPECT_FALSE(m_device.StartImaging(m_settings));
    EXPECT_TRUE(Log().empty());
}

} // namespace

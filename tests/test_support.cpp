#include "tests/test_support.h"

namespace testing_support {

std::string ProgramFolder()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

bool ReadWholeFile(const char* path, std::vector<BYTE>& bytes)
{
    bytes.clear();
    HANDLE hFile = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    BYTE block[65536];
    DWORD got = 0;
    while (ReadFile(hFile, block, sizeof(block), &got, nullptr) && got > 0)
        bytes.insert(bytes.end(), block, block + got);
    CloseHandle(hFile);
    return true;
}

DWORD Fnv1a(const BYTE* data, size_t size, DWORD hash)
{
    for (size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= SIM_FNV_PRIME;
    }
    return hash;
}

} // namespace testing_support

void SimTest::SetUp()
{
    ASSERT_TRUE(m_sim.IsOpen()) << "the simulated sensor's control device does not open";
    for (DWORD device = 0; device < SIM_MAX_DEVICES; ++device)
        ASSERT_TRUE(m_sim.ResetState(device));
    ASSERT_TRUE(sim::SetInterfacePresent(0, TRUE));
    ASSERT_TRUE(sim::SetInterfacePresent(1, FALSE));
}

void SimTest::TearDown()
{
    for (DWORD device = 0; device < SIM_MAX_DEVICES; ++device)
        m_sim.ResetState(device);
    // A test that made the capture file's path a folder and failed before
    // removing it would break every later capture.
    RemoveDirectoryA("C:\\1.txt");
}

SIM_STATUS SimTest::Status(DWORD device)
{
    SIM_STATUS status = {};
    EXPECT_TRUE(m_sim.GetStatus(device, status));
    return status;
}

std::vector<std::string> SimTest::Log(DWORD device)
{
    std::vector<sim::LogRecord> records;
    EXPECT_TRUE(m_sim.GetLog(device, records));
    return sim::DescribeLog(records);
}

// The capture file's writer on its own: a disk slower than the stream for
// longer than the queue holds, and a write that fails. In each the file
// keeps exactly the stream's first bytes, and the failure is reported once.
// A disk that fills up is the capture reader's test (capture_full_disk).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "device/capture_writer.h"

namespace {

using Reports = std::vector<RecordingFailure>;

void Collect(void* reports, const RecordingFailure& failure)
{
    static_cast<Reports*>(reports)->push_back(failure);
}

::testing::AssertionResult IsPrefix(const std::vector<BYTE>& part, const std::vector<BYTE>& whole)
{
    if (part.size() > whole.size())
        return ::testing::AssertionFailure() << part.size() << " bytes, more than the " << whole.size() << " appended";
    const auto differs = std::mismatch(part.begin(), part.end(), whole.begin()).first;
    if (differs != part.end())
        return ::testing::AssertionFailure() << "byte " << differs - part.begin() << " is not the stream's";
    return ::testing::AssertionSuccess();
}

// A pipe nobody reads stands for a disk that has stopped: once its buffer is
// full, every write waits. The reader's side never does: appending goes on
// until the queue is full, and the recording then ends. When the disk
// moves again the writer writes what was queued, in order, and reports.
TEST(CaptureWriter, ADiskSlowerThanTheQueueEndsTheRecordingWithAWholeBeginning)
{
    const char pipeName[] = "\\\\.\\pipe\\orlavent-capture-writer-test";
    HANDLE server = CreateNamedPipeA(pipeName, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                     nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    HANDLE client = CreateFileA(pipeName, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, client);

    const size_t queueBlocks = 3;
    std::vector<BYTE> stream(12 * WRITE_BLOCK_BYTES); // every byte unlike its neighbours: a gap shows
    for (size_t i = 0; i < stream.size(); ++i)
        stream[i] = static_cast<BYTE>((i * 7) ^ (i >> 9));
    Reports reports;
    CCaptureWriter writer(server, Collect, &reports, queueBlocks);
    writer.Append(stream.data(), static_cast<DWORD>(stream.size())); // returns although nothing drains the pipe
    EXPECT_TRUE(writer.HasFailed());
    EXPECT_TRUE(reports.empty()) << "reported before the queued blocks were written";

    std::vector<BYTE> received;
    std::thread disk([&] {
        BYTE buffer[8192];
        DWORD got = 0;
        while (ReadFile(client, buffer, sizeof(buffer), &got, nullptr) && got > 0)
            received.insert(received.end(), buffer, buffer + got);
    });
    writer.Finish(); // closes the pipe: the disk's loop ends
    disk.join();
    CloseHandle(client);

    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(0u, reports[0].error) << "a slow disk has no system error";
    EXPECT_EQ(received.size(), reports[0].fileBytes);
    EXPECT_EQ(received.size(), writer.BytesRecorded());
    // The block being written when the disk stopped, the queue, and the
    // block in hand when the queue was found full.
    EXPECT_GE(received.size(), queueBlocks * WRITE_BLOCK_BYTES);
    EXPECT_LT(received.size(), stream.size());
    EXPECT_TRUE(IsPrefix(received, stream));
}

// A file open for reading only refuses every write: the failure is the
// system's, reported once with the bytes the file holds (none), and later
// appends are dropped rather than written after a gap.
TEST(CaptureWriter, AFailedWriteIsReportedOnceWithTheSystemsReason)
{
    HANDLE readOnly = CreateFileA("orlavent-writer-test.bin", GENERIC_READ, 0, nullptr, CREATE_ALWAYS,
                                  FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, readOnly);

    Reports reports;
    {
        CCaptureWriter writer(readOnly, Collect, &reports);
        const std::vector<BYTE> stream(3 * WRITE_BLOCK_BYTES, 0x5A);
        writer.Append(stream.data(), static_cast<DWORD>(stream.size()));
        writer.Finish();
        writer.Append(stream.data(), WRITE_BLOCK_BYTES);
        EXPECT_EQ(0u, writer.BytesRecorded());
    }
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), reports[0].error);
    EXPECT_EQ(0u, reports[0].fileBytes);
}

} // namespace

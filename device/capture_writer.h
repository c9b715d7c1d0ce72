// capture_writer.h - CCaptureWriter, the capture file written by a thread
// of its own, so that a slow or stalling disk never holds up the reads.
//
// The reader appends the stream's bytes to a block and hands each full
// block to the writer's queue, which holds WRITE_QUEUE_BLOCKS blocks: more
// than two seconds of the stream at the bus rate. The reader never waits
// for the writer. A write that fails, or a disk that falls further behind
// than the queue holds, ends the recording: the file keeps every byte
// written before, in order and without a gap, and nothing more goes to it.
// Either is reported once, from the writer's thread, once the bytes the
// file holds are final. A disk that has not taken everything by the time
// the capture's end allows is given up on then, and that is reported too.
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

#include "device/win_handle.h"

constexpr DWORD WRITE_BLOCK_BYTES = 64 * 1024;
// 3 MB: 2.5 s of the bus rate (about 1.2 MB/s) in full blocks.
constexpr size_t WRITE_QUEUE_BLOCKS = 48;
// While the stream trickles, a partly filled block still reaches the file
// within this time; it also bounds how many partial blocks a second can
// take places in the queue (20), so the queue holds two seconds then too.
constexpr DWORD WRITE_CATCH_UP_MS = 50;
// A write still under way when the writer is given up on gets this long to
// return once cancelled.
constexpr DWORD WRITE_CANCEL_GRACE_MS = 200;
// No time limit for Finish.
constexpr ULONGLONG NO_DEADLINE = ~0ULL;

// Why a recording ended before its capture did.
struct RecordingFailure {
    DWORD error;         // the system's error code; 0 when the disk was too slow
    ULONGLONG fileBytes; // what the file holds, all of it from the stream's start
};

class CCaptureWriter {
public:
    // Told once, on the writer's thread, when the recording fails.
    using FailureSink = void (*)(void* context, const RecordingFailure& failure);

    // Takes the open file over. Starts writing at once; without a thread of
    // its own (none could be made) it writes on the caller's thread.
    CCaptureWriter(HANDLE file, FailureSink sink, void* context, size_t queueBlocks = WRITE_QUEUE_BLOCKS);
    // Finish(), if not done yet.
    ~CCaptureWriter();

    CCaptureWriter(const CCaptureWriter&) = delete;
    CCaptureWriter& operator=(const CCaptureWriter&) = delete;

    // Reader side. Append copies the bytes; nothing after a failure is kept.
    void Append(const BYTE* bytes, DWORD count);
    // Hands the partly filled block on if it has waited WRITE_CATCH_UP_MS
    // (the reader calls it whenever it is about to wait). TRUE while bytes
    // are held back, so the caller's wait should end by NextCatchUpMs().
    BOOL CatchUp();
    DWORD NextCatchUpMs() const;
    // Writes every byte appended (unless the recording has failed), closes
    // the file and ends the writer's thread, by GetTickCount64() reaching
    // deadlineMs at most: the rest is then given up and the recording
    // reported failed (error 0). FALSE when a write under way did not even
    // return once cancelled: the writer's thread still uses this object,
    // which must then be kept for the rest of the process.
    BOOL Finish(ULONGLONG deadlineMs = NO_DEADLINE);

    BOOL HasFailed() const { return m_bFailed.load() != 0; }
    // Bytes appended since the start and not given up, which the file holds
    // once they have been written.
    ULONGLONG BytesRecorded() const { return HasFailed() ? m_written.load() : m_recorded.load(); }
    ULONGLONG BytesWritten() const { return m_written.load(); }

private:
    using Block = std::unique_ptr<BYTE[]>;
    struct Filled {
        Block block;
        DWORD size;
    };

    static DWORD WINAPI WriterThreadProc(LPVOID param);
    void RunWriter();
    void Submit();
    BOOL TakeSpareBlock();
    // Writes one block whole, or records the failure. FALSE on failure.
    BOOL WriteBlock(const BYTE* bytes, DWORD size);
    void Fail(DWORD error);
    // Once per recording, with what the file holds for good.
    void Report(DWORD error);
    BOOL WaitForWriter(ULONGLONG deadlineMs) const;

    CFileHandle m_file;
    const FailureSink m_sink;
    void* const m_context;
    const size_t m_queueBlocks;

    // The reader's block being filled.
    Block m_current;
    DWORD m_currentSize = 0;
    ULONGLONG m_lastSubmitMs = 0;

    SRWLOCK m_lock;
    CONDITION_VARIABLE m_wake;
    std::deque<Filled> m_queue;       // guarded by m_lock
    std::vector<Block> m_spare;       // guarded by m_lock
    BOOL m_bFinishing = FALSE;        // guarded by m_lock
    BOOL m_bOverflowed = FALSE;       // guarded by m_lock: blocks were given up
    BOOL m_bAbandoned = FALSE;        // guarded by m_lock: the end came before the disk took it all
    BOOL m_bReported = FALSE;         // guarded by m_lock

    std::atomic<LONG> m_bFailed{0};
    std::atomic<ULONGLONG> m_recorded{0};
    std::atomic<ULONGLONG> m_written{0};

    HANDLE m_hThread = nullptr;
};

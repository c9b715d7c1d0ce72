#include "device/capture_writer.h"

#include <algorithm>
#include <new>

CCaptureWriter::CCaptureWriter(HANDLE file, FailureSink sink, void* context, size_t queueBlocks)
    : m_file(file), m_sink(sink), m_context(context), m_queueBlocks(std::max<size_t>(queueBlocks, 1)),
      m_current(new (std::nothrow) BYTE[WRITE_BLOCK_BYTES]), m_lastSubmitMs(GetTickCount64())
{
    InitializeSRWLock(&m_lock);
    InitializeConditionVariable(&m_wake);
    if (!m_current) {
        m_bFailed.store(1);
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    m_hThread = CreateThread(nullptr, 0, WriterThreadProc, this, 0, nullptr);
}

CCaptureWriter::~CCaptureWriter()
{
    Finish();
}

void CCaptureWriter::Append(const BYTE* bytes, DWORD count)
{
    while (count > 0 && !HasFailed()) {
        const DWORD room = WRITE_BLOCK_BYTES - m_currentSize;
        const DWORD piece = std::min(room, count);
        CopyMemory(m_current.get() + m_currentSize, bytes, piece);
        m_currentSize += piece;
        m_recorded.fetch_add(piece);
        bytes += piece;
        count -= piece;
        if (m_currentSize == WRITE_BLOCK_BYTES)
            Submit();
    }
}

BOOL CCaptureWriter::CatchUp()
{
    if (m_currentSize == 0 || HasFailed())
        return FALSE;
    if (GetTickCount64() - m_lastSubmitMs < WRITE_CATCH_UP_MS)
        return TRUE;
    Submit();
    return FALSE;
}

DWORD CCaptureWriter::NextCatchUpMs() const
{
    const ULONGLONG waited = GetTickCount64() - m_lastSubmitMs;
    return waited >= WRITE_CATCH_UP_MS ? 1 : static_cast<DWORD>(WRITE_CATCH_UP_MS - waited);
}

BOOL CCaptureWriter::Finish(ULONGLONG deadlineMs)
{
    if (!m_file.IsValid())
        return TRUE;
    Submit();
    if (m_hThread) {
        {
            CExclusiveLock lock(m_lock);
            m_bFinishing = TRUE;
        }
        WakeAllConditionVariable(&m_wake);
        if (!WaitForWriter(deadlineMs)) {
            // What the disk has not taken yet is lost only now.
            {
                CExclusiveLock lock(m_lock);
                m_bAbandoned = TRUE;
            }
            WakeAllConditionVariable(&m_wake);
            Report(0);
            CancelSynchronousIo(m_hThread);
            if (WaitForSingleObject(m_hThread, WRITE_CANCEL_GRACE_MS) != WAIT_OBJECT_0)
                return FALSE;
        }
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    m_file.Reset();
    return TRUE;
}

BOOL CCaptureWriter::WaitForWriter(ULONGLONG deadlineMs) const
{
    DWORD waitMs = INFINITE;
    if (deadlineMs != NO_DEADLINE) {
        const ULONGLONG now = GetTickCount64();
        waitMs = now >= deadlineMs ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadlineMs - now, INFINITE - 1));
    }
    return WaitForSingleObject(m_hThread, waitMs) == WAIT_OBJECT_0;
}

// The block goes to the writer with a spare one taken in its place; when
// the queue is full (the disk is behind by more than it holds) or no block
// can be had, the recording ends here, and the writer reports it once it
// has written everything queued before.
void CCaptureWriter::Submit()
{
    if (m_currentSize == 0 || HasFailed())
        return;
    m_lastSubmitMs = GetTickCount64();
    if (!m_hThread) {
        WriteBlock(m_current.get(), m_currentSize);
        m_currentSize = 0;
        return;
    }
    Block replacement;
    BOOL bGivenUp = FALSE;
    {
        CExclusiveLock lock(m_lock);
        if (m_queue.size() >= m_queueBlocks) {
            bGivenUp = TRUE;
        } else if (!m_spare.empty()) {
            replacement = std::move(m_spare.back());
            m_spare.pop_back();
        }
    }
    if (!bGivenUp && !replacement) {
        replacement.reset(new (std::nothrow) BYTE[WRITE_BLOCK_BYTES]);
        bGivenUp = !replacement;
    }
    {
        CExclusiveLock lock(m_lock);
        if (bGivenUp) {
            m_bOverflowed = TRUE;
            m_bFailed.store(1);
        } else {
            m_queue.push_back(Filled{std::move(m_current), m_currentSize});
            m_current = std::move(replacement);
        }
    }
    m_currentSize = 0;
    WakeAllConditionVariable(&m_wake);
}

DWORD WINAPI CCaptureWriter::WriterThreadProc(LPVOID param)
{
    static_cast<CCaptureWriter*>(param)->RunWriter();
    return 0;
}

void CCaptureWriter::RunWriter()
{
    BOOL bWriteFailed = FALSE;
    for (;;) {
        Filled item{};
        BOOL bDone = FALSE;
        BOOL bGivenUp = FALSE;
        BOOL bAbandoned = FALSE;
        {
            CExclusiveLock lock(m_lock);
            while (m_queue.empty() && !m_bFinishing && !(m_bOverflowed && !m_bReported))
                SleepConditionVariableSRW(&m_wake, &m_lock, INFINITE, 0);
            if (!m_queue.empty()) {
                item = std::move(m_queue.front());
                m_queue.pop_front();
            } else {
                bGivenUp = m_bOverflowed;
                bDone = m_bFinishing;
            }
            bAbandoned = m_bAbandoned;
        }
        if (item.block) {
            // After a failed write the rest only goes back to the spares:
            // a later block written after a gap would corrupt the stream.
            if (!bWriteFailed && !bAbandoned)
                bWriteFailed = !WriteBlock(item.block.get(), item.size);
            CExclusiveLock lock(m_lock);
            m_spare.push_back(std::move(item.block));
            continue;
        }
        if (bGivenUp)
            Report(0); // everything queued before the overflow is in the file
        if (bDone)
            return;
    }
}

BOOL CCaptureWriter::WriteBlock(const BYTE* bytes, DWORD size)
{
    while (size > 0) {
        DWORD written = 0;
        const BOOL ok = WriteFile(m_file.Get(), bytes, size, &written, nullptr);
        const DWORD error = ok ? ERROR_DISK_FULL : GetLastError(); // a write that moves nothing
        m_written.fetch_add(written);
        if (!ok || written == 0) {
            Fail(error);
            return FALSE;
        }
        bytes += written;
        size -= written;
    }
    return TRUE;
}

void CCaptureWriter::Fail(DWORD error)
{
    m_bFailed.store(1);
    Report(error);
}

void CCaptureWriter::Report(DWORD error)
{
    {
        CExclusiveLock lock(m_lock);
        if (m_bReported)
            return;
        m_bReported = TRUE;
    }
    m_bFailed.store(1);
    if (m_sink)
        m_sink(m_context, RecordingFailure{error, m_written.load()});
}

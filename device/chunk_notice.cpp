#include "device/chunk_notice.h"

#include <atomic>
#include <deque>
#include <new>

#include "device/win_handle.h"

namespace {

class CChunkQueue {
public:
    CChunkQueue() { InitializeSRWLock(&m_lock); }

    // Returns the queued notice's address (only to recognise it later), or
    // null when the queue is full.
    const ChunkNotice* Push(ChunkNoticePtr notice)
    {
        CExclusiveLock lock(m_lock);
        if (static_cast<long>(m_chunks.size()) >= MAX_QUEUED_CHUNKS)
            return nullptr;
        m_chunks.push_back(std::move(notice));
        m_count = static_cast<long>(m_chunks.size());
        return m_chunks.back().get();
    }

    // Takes back the newest notice if it is still `notice` (its
    // announcement could not be posted).
    void Withdraw(const ChunkNotice* notice)
    {
        CExclusiveLock lock(m_lock);
        if (!m_chunks.empty() && m_chunks.back().get() == notice)
            m_chunks.pop_back();
        m_count = static_cast<long>(m_chunks.size());
    }

    ChunkNoticePtr PopOldest()
    {
        CExclusiveLock lock(m_lock);
        if (m_chunks.empty())
            return nullptr;
        ChunkNoticePtr notice = std::move(m_chunks.front());
        m_chunks.pop_front();
        m_count = static_cast<long>(m_chunks.size());
        return notice;
    }

    size_t Clear()
    {
        CExclusiveLock lock(m_lock);
        const size_t released = m_chunks.size();
        m_chunks.clear();
        m_count = 0;
        return released;
    }

    long Count() const { return m_count; }

private:
    SRWLOCK m_lock;
    std::deque<ChunkNoticePtr> m_chunks;
    std::atomic<long> m_count{0};
};

CChunkQueue& Queue()
{
    static CChunkQueue queue;
    return queue;
}

} // namespace

BOOL PostChunk(HWND hwndTarget, const BYTE* bytes, DWORD count)
{
    if (!hwndTarget || count == 0 || count > CHUNK_SIZE || Queue().Count() >= MAX_QUEUED_CHUNKS)
        return FALSE;
    ChunkNoticePtr notice(new (std::nothrow) ChunkNotice);
    if (!notice)
        return FALSE;
    notice->count = count;
    CopyMemory(notice->bytes, bytes, count);

    const ChunkNotice* queued = Queue().Push(std::move(notice));
    if (!queued)
        return FALSE;
    if (!PostMessageA(hwndTarget, WM_CHUNK_READY, 0, 0)) {
        Queue().Withdraw(queued);
        return FALSE;
    }
    return TRUE;
}

ChunkNoticePtr TakeQueuedChunk()
{
    return Queue().PopOldest();
}

size_t DiscardQueuedChunks(HWND hwnd)
{
    MSG msg;
    while (PeekMessageA(&msg, hwnd, WM_CHUNK_READY, WM_CHUNK_READY, PM_REMOVE)) {
    }
    return Queue().Clear();
}

long QueuedChunks()
{
    return Queue().Count();
}

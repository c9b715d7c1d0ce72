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

    ChunkBatch TakeAll()
    {
        ChunkBatch batch;
        CExclusiveLock lock(m_lock);
        batch.swap(m_chunks);
        m_count = 0;
        return batch;
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

    // TRUE for the caller that must post the announcement.
    bool Announce() { return m_announced.exchange(1) == 0; }
    void AnnouncementTaken() { m_announced.store(0); }

private:
    SRWLOCK m_lock;
    ChunkBatch m_chunks;
    std::atomic<long> m_count{0};
    // Set from the post of an announcement until the window takes the
    // queue: chunks queued meanwhile ride on that announcement.
    std::atomic<LONG> m_announced{0};
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
    if (Queue().Announce() && !PostMessageA(hwndTarget, WM_CHUNK_READY, 0, 0)) {
        Queue().AnnouncementTaken();
        Queue().Withdraw(queued);
        return FALSE;
    }
    return TRUE;
}

// The flag is cleared before the queue is taken: a chunk queued in between
// is either in this batch or announced anew, never left unannounced.
ChunkBatch TakeQueuedChunks()
{
    Queue().AnnouncementTaken();
    return Queue().TakeAll();
}

void HoldChunkAnnouncements()
{
    Queue().Announce();
}

size_t DiscardQueuedChunks(HWND hwnd)
{
    Queue().AnnouncementTaken();
    MSG msg;
    while (PeekMessageA(&msg, hwnd, WM_CHUNK_READY, WM_CHUNK_READY, PM_REMOVE)) {
    }
    return Queue().Clear();
}

long QueuedChunks()
{
    return Queue().Count();
}

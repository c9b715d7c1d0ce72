#include "device/chunk_notice.h"

#include <new>

#include "device/win_handle.h"

CChunkQueue::CChunkQueue()
{
    InitializeSRWLock(&m_lock);
}

BOOL CChunkQueue::Post(HWND hwndTarget, const BYTE* bytes, DWORD count)
{
    if (!hwndTarget || count == 0 || count > CHUNK_SIZE || Count() >= MAX_QUEUED_CHUNKS)
        return FALSE;
    ChunkNoticePtr notice(new (std::nothrow) ChunkNotice);
    if (!notice)
        return FALSE;
    notice->count = count;
    CopyMemory(notice->bytes, bytes, count);

    const ChunkNotice* queued = Push(std::move(notice));
    if (!queued)
        return FALSE;
    if (Announce() && !PostMessageA(hwndTarget, WM_CHUNK_READY, 0, 0)) {
        AnnouncementTaken();
        Withdraw(queued);
        return FALSE;
    }
    return TRUE;
}

// The flag is cleared before the queue is taken: a chunk queued in between
// is either in this batch or announced anew, never left unannounced.
ChunkBatch CChunkQueue::TakeAll()
{
    AnnouncementTaken();
    ChunkBatch batch;
    CExclusiveLock lock(m_lock);
    batch.swap(m_chunks);
    m_count = 0;
    return batch;
}

void CChunkQueue::HoldAnnouncements()
{
    Announce();
}

size_t CChunkQueue::Discard(HWND hwnd)
{
    AnnouncementTaken();
    MSG msg;
    while (hwnd && PeekMessageA(&msg, hwnd, WM_CHUNK_READY, WM_CHUNK_READY, PM_REMOVE)) {
    }
    return Clear();
}

const ChunkNotice* CChunkQueue::Push(ChunkNoticePtr notice)
{
    CExclusiveLock lock(m_lock);
    if (static_cast<long>(m_chunks.size()) >= MAX_QUEUED_CHUNKS)
        return nullptr;
    m_chunks.push_back(std::move(notice));
    m_count = static_cast<long>(m_chunks.size());
    return m_chunks.back().get();
}

void CChunkQueue::Withdraw(const ChunkNotice* notice)
{
    CExclusiveLock lock(m_lock);
    if (!m_chunks.empty() && m_chunks.back().get() == notice)
        m_chunks.pop_back();
    m_count = static_cast<long>(m_chunks.size());
}

size_t CChunkQueue::Clear()
{
    CExclusiveLock lock(m_lock);
    const size_t released = m_chunks.size();
    m_chunks.clear();
    m_count = 0;
    return released;
}

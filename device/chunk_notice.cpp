#include "device/chunk_notice.h"

#include <atomic>
#include <new>

namespace {

std::atomic<long> g_outstandingNotices{0};

ChunkNotice* NewChunkNotice(const BYTE* bytes, DWORD count)
{
    auto* notice = new (std::nothrow) ChunkNotice;
    if (!notice)
        return nullptr;
    ++g_outstandingNotices;
    notice->count = count;
    CopyMemory(notice->bytes, bytes, count);
    return notice;
}

} // namespace

void ChunkNoticeDeleter::operator()(ChunkNotice* notice) const
{
    if (!notice)
        return;
    --g_outstandingNotices;
    delete notice;
}

ChunkNoticePtr AdoptChunkNotice(LPARAM lParam)
{
    return ChunkNoticePtr(reinterpret_cast<ChunkNotice*>(lParam));
}

size_t DiscardQueuedChunks(HWND hwnd)
{
    size_t released = 0;
    MSG msg;
    while (PeekMessageA(&msg, hwnd, WM_CHUNK_READY, WM_CHUNK_READY, PM_REMOVE)) {
        AdoptChunkNotice(msg.lParam);
        ++released;
    }
    return released;
}

long OutstandingChunkNotices()
{
    return g_outstandingNotices.load();
}

BOOL CChunkPoster::Post(const BYTE* bytes, DWORD count)
{
    if (!m_hwndTarget || count == 0 || count > CHUNK_SIZE)
        return FALSE;
    if (g_outstandingNotices.load() >= MAX_QUEUED_CHUNKS)
        return FALSE;
    ChunkNoticePtr notice(NewChunkNotice(bytes, count));
    if (!notice || !PostMessageA(m_hwndTarget, WM_CHUNK_READY, 0, reinterpret_cast<LPARAM>(notice.get())))
        return FALSE;
    notice.release(); // the window's handler owns it now
    return TRUE;
}

// chunk_notice.h - how the capture reader hands chunks to the main window.
//
// The window owns a CChunkQueue and gives it to the device before a
// capture (CImageDevice::SetChunkQueue). Each non-empty read is cut into
// chunks of CHUNK_SIZE, each copied with its byte count into a ChunkNotice
// and put on that queue. A WM_CHUNK_READY posted to the window announces
// the queue, not a chunk: the reader posts one only when no announcement
// is outstanding, and the window's handler takes every queued chunk at
// once, whatever the message carries (any process can post any message to
// a top-level window, so its parameters are never trusted as an address).
// At the bus rate that is one message per batch instead of one per chunk.
// The reader's slots are free to be refilled at once, and the window
// paints chunks in read order.
//
// The queue is bounded by MAX_QUEUED_CHUNKS: past it the reader queues
// nothing (the display skips chunks and resynchronises at the next frame
// marker) while the capture file still receives every byte.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>

constexpr size_t CHUNK_SIZE = 512;
// What each read asks for: eight chunks, handed on one chunk at a time.
// Every read is a round trip through the system (under Wine, through its
// server and the driver's host: 80 to 170 us, now and then far more), and
// in single chunks the bus rate needs 2,350 of them a second; a run of
// slow ones then starves the device. The bus fills a read in 3.4 ms.
constexpr size_t READ_BYTES = 8 * CHUNK_SIZE;
// Reads the capture reader keeps queued, of eight chunks each: 512 KB,
// 435 ms of the bus rate (98 pictures a second, about 1.2 MB/s). The bus
// fills them while the reader is away (a missed scheduler quantum is
// 15.6 ms on Windows) and gives no second chance: what the device's buffer
// then holds drains only at the bus rate less the sensor's, about 100
// times slower than it came. Measured against the simulated sensor's
// strict bus with an 8 KB device buffer, a bare loop of 48 single-chunk
// reads lost bytes where one of 128 kept up; 128 single-chunk reads still
// lost bytes over ten minutes now and then, 128 of eight chunks did not.
constexpr size_t RING_SLOTS = 128;

// Posted by the reader to the application's main window; wParam 0,
// lParam 0. The handler returns 1.
constexpr UINT WM_CHUNK_READY = WM_USER + 78;

// 256 notices of 516 bytes: about 130 KB at most waiting to be painted.
constexpr long MAX_QUEUED_CHUNKS = 256;

struct ChunkNotice {
    DWORD count; // bytes read, 1 to CHUNK_SIZE
    BYTE bytes[CHUNK_SIZE];
};

using ChunkNoticePtr = std::unique_ptr<ChunkNotice>;
using ChunkBatch = std::deque<ChunkNoticePtr>;

// The chunks waiting for one window. The reader's thread posts, the
// window's thread takes; every member may be called from either.
class CChunkQueue {
public:
    CChunkQueue();
    CChunkQueue(const CChunkQueue&) = delete;
    CChunkQueue& operator=(const CChunkQueue&) = delete;

    // The reader's side: queues a copy of the chunk and, unless an
    // announcement is outstanding, announces the queue to hwndTarget.
    // FALSE (nothing queued) when there is no window, the queue is full or
    // the announcement cannot be posted.
    BOOL Post(HWND hwndTarget, const BYTE* bytes, DWORD count);

    // The window's side: every queued chunk, oldest first (none when the
    // queue is empty). The outstanding announcement counts as taken, so the
    // next chunk is announced again.
    ChunkBatch TakeAll();

    // Makes the reader post no announcement until the next take: for a
    // window that takes the queue at a pace of its own while chunks keep
    // coming.
    void HoldAnnouncements();

    // Releases every queued chunk and removes hwnd's pending announcements.
    // Returns how many chunks were released.
    size_t Discard(HWND hwnd);

    // Chunks queued and not yet taken.
    long Count() const { return m_count.load(); }

private:
    // Returns the queued notice's address (only to recognise it later), or
    // null when the queue is full.
    const ChunkNotice* Push(ChunkNoticePtr notice);
    // Takes back the newest notice if it is still `notice` (its
    // announcement could not be posted).
    void Withdraw(const ChunkNotice* notice);
    size_t Clear();

    // TRUE for the caller that must post the announcement.
    bool Announce() { return m_announced.exchange(1) == 0; }
    void AnnouncementTaken() { m_announced.store(0); }

    SRWLOCK m_lock;
    ChunkBatch m_chunks;
    std::atomic<long> m_count{0};
    // Set from the post of an announcement until the window takes the
    // queue: chunks queued meanwhile ride on that announcement.
    std::atomic<LONG> m_announced{0};
};

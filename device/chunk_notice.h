// chunk_notice.h - how the capture reader hands chunks to the main window.
//
// Each non-empty read is copied, with its byte count, into a ChunkNotice
// and put on this process's chunk queue. A WM_CHUNK_READY posted to the
// window announces the queue, not a chunk: the reader posts one only when
// no announcement is outstanding, and the window's handler takes every
// queued chunk at once, whatever the message carries (any process can post
// any message to a top-level window, so its parameters are never trusted
// as an address). At the bus rate that is one message per batch instead
// of one per chunk. The reader's slots are free to be refilled at once,
// and the window paints chunks in read order.
//
// The queue is bounded by MAX_QUEUED_CHUNKS: past it the reader queues
// nothing (the display skips chunks and resynchronises at the next frame
// marker) while the capture file still receives every byte.
#pragma once

#include <windows.h>

#include <cstddef>
#include <deque>
#include <memory>

constexpr size_t CHUNK_SIZE = 512;
// Reads the capture reader keeps queued: 24 KB, 20 ms of the bus rate
// (99 pictures a second, about 1.2 MB/s), so the device still has
// somewhere to put its bytes when the reader misses a scheduler quantum
// (15.6 ms on Windows) and the device's own buffer is small.
constexpr size_t RING_SLOTS = 48;

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

// The reader's side: queues a copy of the chunk and, unless an
// announcement is outstanding, announces the queue to hwndTarget. FALSE
// (nothing queued) when there is no window, the queue is full or the
// announcement cannot be posted.
BOOL PostChunk(HWND hwndTarget, const BYTE* bytes, DWORD count);

// The window's side: every queued chunk, oldest first (none when the queue
// is empty). The outstanding announcement counts as taken, so the next
// chunk is announced again.
ChunkBatch TakeQueuedChunks();

// Makes the reader post no announcement until the next take: for a window
// that takes the queue at a pace of its own while chunks keep coming.
void HoldChunkAnnouncements();

// Releases every queued chunk and removes hwnd's pending announcements
// (when the window goes away). Returns how many chunks were released.
size_t DiscardQueuedChunks(HWND hwnd);

// Chunks queued and not yet taken, in this process.
long QueuedChunks();

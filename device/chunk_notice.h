// chunk_notice.h - how the capture reader hands chunks to the main window.
//
// Each non-empty read is copied, with its byte count, into a ChunkNotice
// and put on this process's chunk queue; a WM_CHUNK_READY posted to the
// window announces it. The window's handler takes the oldest queued chunk,
// whatever the message carries: any process can post any message to a
// top-level window, so the message's parameters are never trusted as an
// address. The reader's ring slots are free to be refilled at once, and
// the window paints chunks in read order.
//
// The queue is bounded by MAX_QUEUED_CHUNKS: past it the reader queues
// nothing (the display skips chunks and resynchronises at the next frame
// marker) while the capture file still receives every byte.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>

constexpr size_t CHUNK_SIZE = 512;
constexpr size_t RING_SLOTS = 4;

// Posted by the reader to the application's main window; wParam 0,
// lParam 0. The handler returns 1.
constexpr UINT WM_CHUNK_READY = WM_USER + 78;

// 256 notices of 516 bytes: about 130 KB at most waiting to be painted.
constexpr long MAX_QUEUED_CHUNKS = 256;

// Posted messages are always retrieved before input: while the reader
// keeps the queue fuller than this, a waiting click or key would wait for
// every queued chunk, so the window drops the queued chunks instead.
constexpr long INPUT_BACKLOG_LIMIT = 32;

struct ChunkNotice {
    DWORD count; // bytes read, 1 to CHUNK_SIZE
    BYTE bytes[CHUNK_SIZE];
};

using ChunkNoticePtr = std::unique_ptr<ChunkNotice>;

// The reader's side: queues a copy of the chunk and announces it to
// hwndTarget. FALSE (nothing queued) when there is no window, the queue is
// full or the announcement cannot be posted.
BOOL PostChunk(HWND hwndTarget, const BYTE* bytes, DWORD count);

// The window's side: the oldest queued chunk, or null when none waits.
ChunkNoticePtr TakeQueuedChunk();

// Releases every queued chunk and removes hwnd's pending announcements
// (when the window goes away, or when it skips a backlog). Returns how
// many chunks were released.
size_t DiscardQueuedChunks(HWND hwnd);

// Chunks queued and not yet taken, in this process.
long QueuedChunks();

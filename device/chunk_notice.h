// chunk_notice.h - how the capture reader hands chunks to the main window.
//
// Each non-empty read is copied, with its byte count, into a ChunkNotice
// whose address travels in WM_CHUNK_READY's lParam; the window's handler
// owns it from then on. The reader's ring slots are therefore free to be
// refilled and released at once, and the window paints chunks in read
// order without ever reading memory that changes under it.
//
// The notices waiting in the window's queue are bounded by
// MAX_QUEUED_CHUNKS: past it the reader posts nothing (the display skips
// chunks and resynchronises at the next frame marker) while the capture
// file still receives every byte.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>

constexpr size_t CHUNK_SIZE = 512;
constexpr size_t RING_SLOTS = 4;

// Posted by the reader to the application's main window; wParam 0, lParam
// a ChunkNotice*. The handler returns 1.
constexpr UINT WM_CHUNK_READY = WM_USER + 78;

// 256 notices of 516 bytes: about 130 KB at most waiting to be painted.
constexpr long MAX_QUEUED_CHUNKS = 256;

struct ChunkNotice {
    DWORD count; // bytes read, 1 to CHUNK_SIZE
    BYTE bytes[CHUNK_SIZE];
};

struct ChunkNoticeDeleter {
    void operator()(ChunkNotice* notice) const;
};
using ChunkNoticePtr = std::unique_ptr<ChunkNotice, ChunkNoticeDeleter>;

// Takes ownership of the notice carried by a WM_CHUNK_READY message.
ChunkNoticePtr AdoptChunkNotice(LPARAM lParam);

// Releases the notices still queued for hwnd (when the window goes away,
// or when it chooses to skip a backlog). Returns how many were released.
size_t DiscardQueuedChunks(HWND hwnd);

// Notices allocated and not yet released, in this process.
long OutstandingChunkNotices();

// The reader's side: copies and posts chunks to a window within the bound.
class CChunkPoster {
public:
    explicit CChunkPoster(HWND hwndTarget) : m_hwndTarget(hwndTarget) {}

    // Returns TRUE if the chunk was posted; FALSE if there is no window,
    // the backlog is full, or posting failed (the copy is then released).
    BOOL Post(const BYTE* bytes, DWORD count);

private:
    HWND m_hwndTarget;
};

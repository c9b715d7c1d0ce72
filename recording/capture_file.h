// capture_file.h - reads a capture file front to back into a splitter, in
// blocks, so memory stays the same for a file of any size. The file is
// shared with a recorder that may still be writing it, and never changed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/win_handle.h"
#include "stream/capture_splitter.h"

namespace inspect {

// Called after each block with the bytes read so far and the file's size
// when it was opened.
using ProgressFn = std::function<void(uint64_t done, uint64_t total)>;
// Asked before each block: true stops the read there.
using StopFn = std::function<bool()>;

// What tells one file from another whatever its name: two paths name the
// same file when their identities are equal.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity& o) const
    {
        return volume == o.volume && indexHigh == o.indexHigh && indexLow == o.indexLow;
    }
    bool operator!=(const FileIdentity& o) const { return !(*this == o); }
};

// The identity of the file or folder at `path`; false if there is none.
bool IdentifyPath(const std::string& path, FileIdentity& identity);

// Owns the open file handle. The file stays free for others to write,
// replace, rename or delete while it is open.
class CaptureFile {
public:
    // FALSE with the system's error code in GetLastError.
    BOOL Open(const char* path);
    void Close() { m_file.Reset(); }
    bool IsOpen() const { return m_file.IsValid(); }
    uint64_t Size() const;
    // When the file was last written; zero if that cannot be told.
    FILETIME LastWrite() const;
    const FileIdentity& Identity() const { return m_identity; }
    BOOL Seek(uint64_t position);
    // Reads the next bytes; got is 0 at the end. FALSE on a read error.
    BOOL Read(BYTE* buffer, DWORD capacity, DWORD& got);
    // Reads exactly `count` bytes from `position`.
    BOOL ReadAt(uint64_t position, BYTE* buffer, DWORD count);

private:
    CFileHandle m_file;
    FileIdentity m_identity;
};

enum class ScanResult {
    Done,
    Stopped,     // the splitter's sink or the StopFn asked to stop
    CannotOpen,  // GetLastError tells why
    CannotRead,
};

// One read of an open recording from its start to its end, into a
// splitter. It keeps the first and the last block it read, so that it can
// tell, while it runs or after, whether the recording is still what it read.
class CaptureScan {
public:
    explicit CaptureScan(CaptureFile& file);
    CaptureScan(const CaptureScan&) = delete;
    CaptureScan& operator=(const CaptureScan&) = delete;

    // Feeds the whole file to the splitter and finishes it. `stop` is asked
    // before each block.
    ScanResult Run(CaptureSplitter& splitter, const ProgressFn& progress = nullptr, const StopFn& stop = nullptr);
    uint64_t BytesRead() const { return m_read; }
    // Whether `path` still names the file read, no shorter than what was
    // read and with the first and the last block read as they were, not
    // written since the last look unless it grew meanwhile (a rewrite of the
    // same size), and the read did not end before the length the file had
    // when it began (a file cut and written again while it is read). Opens
    // `path` afresh, so it may be asked while Run is feeding a block.
    bool Unchanged(const char* path) const;

private:
    bool Holds(CaptureFile& now, uint64_t at, const BYTE* expected, DWORD count) const;

    CaptureFile& m_file;
    uint64_t m_sizeAtStart = 0;
    uint64_t m_read = 0;
    bool m_endedShort = false;
    std::vector<BYTE> m_head;       // the first block
    std::vector<BYTE> m_blocks[2];  // read in turn, so the last one stays whole
    const BYTE* m_last = nullptr;   // the block read last, and where it was
    uint64_t m_lastAt = 0;
    DWORD m_lastLength = 0;
    mutable std::vector<BYTE> m_check;
    // The size and last write at the last look: a write that leaves the
    // size as it was rewrote the recording.
    mutable uint64_t m_seenSize = 0;
    mutable FILETIME m_seenWrite = {};
};

// Feeds the whole file to the splitter and finishes it.
ScanResult ScanCaptureFile(const char* path, CaptureSplitter& splitter, const ProgressFn& progress = nullptr);
// The same, from the file's start, for a file already open.
ScanResult ScanCaptureFile(CaptureFile& file, CaptureSplitter& splitter, const ProgressFn& progress = nullptr);

// A capture file that is still growing: each Poll opens the path afresh
// and feeds what was appended since the last one. The count starts over
// when the path names a new recording: another file (the old one moved
// away, or deleted and created again) or the same file recreated, which
// shows as bytes already read that are no longer there. No handle is held
// between polls, so the recorder can always replace the file.
class GrowingCapture {
public:
    explicit GrowingCapture(const char* path);

    // FALSE when the file cannot be opened or read (it may not exist yet).
    // `stop` is asked before each block: a first read of a long recording
    // can then end at once, and the next poll goes on from there.
    BOOL Poll(const StopFn& stop = nullptr);
    // Ends the picture still open, as at the end of a file.
    void Finish() { m_splitter.Finish(); }
    const CaptureSplitter& Splitter() const { return m_splitter; }
    // Times the count started over.
    int Restarts() const { return m_restarts; }

private:
    bool IsTheRecordingRead(CaptureFile& file);
    void StartOver(const FileIdentity& identity);
    void Remember(const BYTE* bytes, DWORD count);

    std::string m_path;
    bool m_reading = false; // a recording has been opened
    FileIdentity m_identity;
    uint64_t m_position = 0;
    CaptureSplitter m_splitter;
    int m_restarts = 0;
    std::vector<BYTE> m_buffer;
    // The first and the latest bytes read, read again at each poll.
    std::vector<BYTE> m_head;
    std::vector<BYTE> m_tail;
};

} // namespace inspect

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
#include "recording/capture_splitter.h"

namespace inspect {

// Called after each block with the bytes read so far and the file's size
// when it was opened.
using ProgressFn = std::function<void(uint64_t done, uint64_t total)>;

// Owns the open file handle.
class CaptureFile {
public:
    // FALSE with the system's error code in GetLastError.
    BOOL Open(const char* path);
    void Close() { m_file.Reset(); }
    bool IsOpen() const { return m_file.IsValid(); }
    uint64_t Size() const;
    // Reads the next bytes; got is 0 at the end. FALSE on a read error.
    BOOL Read(BYTE* buffer, DWORD capacity, DWORD& got);

private:
    CFileHandle m_file;
};

enum class ScanResult {
    Done,
    Stopped,     // the splitter's sink asked to stop
    CannotOpen,  // GetLastError tells why
    CannotRead,
};

// Feeds the whole file to the splitter and finishes it.
ScanResult ScanCaptureFile(const char* path, CaptureSplitter& splitter, const ProgressFn& progress = nullptr);

// A capture file that is still growing: each Poll feeds what was appended
// since the last one. A file that became shorter was recorded anew (the
// recorder recreates it at each start), so the count starts over.
class GrowingCapture {
public:
    explicit GrowingCapture(const char* path);

    // FALSE when the file cannot be opened or read (it may not exist yet).
    BOOL Poll();
    // Ends the picture still open, as at the end of a file.
    void Finish() { m_splitter.Finish(); }
    const CaptureSplitter& Splitter() const { return m_splitter; }
    // Times the count started over.
    int Restarts() const { return m_restarts; }

private:
    std::string m_path;
    CaptureFile m_file;
    uint64_t m_position = 0;
    CaptureSplitter m_splitter;
    int m_restarts = 0;
    std::vector<BYTE> m_buffer;
};

} // namespace inspect

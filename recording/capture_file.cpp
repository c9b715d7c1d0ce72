#include "recording/capture_file.h"

namespace inspect {

namespace {

// Large enough that the per-read cost vanishes, small enough to stay in
// the processor's cache while it is split.
constexpr DWORD READ_BLOCK = 1 << 18;

} // namespace

BOOL CaptureFile::Open(const char* path)
{
    m_file.Reset(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!m_file.IsValid())
        return FALSE;
    // A folder opens too, and only fails on the first read: say so now.
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(m_file.Get(), &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Close();
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    return TRUE;
}

uint64_t CaptureFile::Size() const
{
    LARGE_INTEGER size;
    if (!m_file.IsValid() || !GetFileSizeEx(m_file.Get(), &size))
        return 0;
    return static_cast<uint64_t>(size.QuadPart);
}

BOOL CaptureFile::Read(BYTE* buffer, DWORD capacity, DWORD& got)
{
    got = 0;
    return ReadFile(m_file.Get(), buffer, capacity, &got, nullptr);
}

ScanResult ScanCaptureFile(const char* path, CaptureSplitter& splitter, const ProgressFn& progress)
{
    CaptureFile file;
    if (!file.Open(path))
        return ScanResult::CannotOpen;
    const uint64_t total = file.Size();
    std::vector<BYTE> buffer(READ_BLOCK);
    uint64_t done = 0;
    for (;;) {
        DWORD got = 0;
        if (!file.Read(buffer.data(), READ_BLOCK, got))
            return ScanResult::CannotRead;
        if (got == 0)
            break;
        if (!splitter.Feed(buffer.data(), got))
            return ScanResult::Stopped;
        done += got;
        if (progress)
            progress(done, total);
    }
    return splitter.Finish() ? ScanResult::Done : ScanResult::Stopped;
}

GrowingCapture::GrowingCapture(const char* path) : m_path(path), m_buffer(READ_BLOCK) {}

BOOL GrowingCapture::Poll()
{
    if (!m_file.IsOpen() && !m_file.Open(m_path.c_str()))
        return FALSE;
    if (m_file.Size() < m_position) {
        m_splitter = CaptureSplitter();
        m_position = 0;
        ++m_restarts;
        if (!m_file.Open(m_path.c_str()))
            return FALSE;
    }
    for (;;) {
        DWORD got = 0;
        if (!m_file.Read(m_buffer.data(), READ_BLOCK, got))
            return FALSE;
        if (got == 0)
            return TRUE;
        m_splitter.Feed(m_buffer.data(), got);
        m_position += got;
    }
}

} // namespace inspect

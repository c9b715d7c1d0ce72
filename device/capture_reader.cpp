// The capture reader: a thread that streams the device's output in chunks
// to the main window and to the capture file until it is told to stop.
#include <memory>
#include <new>

#include "afx/afxwin.h"
#include "device/chunk_notice.h"
#include "device/image_device.h"
#include "device/win_handle.h"

namespace {

const char CAPTURE_FILE_PATH[] = "C:\\1.txt";

// Recreated at every start; raw stream bytes, nothing added. A file that
// cannot be created leaves the capture unrecorded but running.
class CCaptureFile {
public:
    CCaptureFile()
        : m_file(CreateFileA(CAPTURE_FILE_PATH, GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }

    void Append(const BYTE* bytes, DWORD count)
    {
        if (!m_file.IsValid())
            return;
        DWORD written = 0;
        WriteFile(m_file.Get(), bytes, count, &written, nullptr);
    }

private:
    CFileHandle m_file;
};

HWND FindTargetWindow()
{
    CWinApp* app = AfxGetApp();
    CWnd* mainWnd = app ? app->GetMainWnd() : nullptr;
    return mainWnd ? mainWnd->GetSafeHwnd() : nullptr;
}

} // namespace

void CImageDevice::StartCapture()
{
    m_hwndTarget = FindTargetWindow();
    m_bStop.store(0);
    ResetEvent(m_hStopEvent);
    ResetEvent(m_hReaderDone);
    m_hThread = CreateThread(nullptr, 0, CaptureThreadProc, this, 0, nullptr);
}

// Waits for the reader's work, not for its thread's end: on Windows a
// thread ends only once its requests have completed, and the I/O manager
// waits up to five minutes for a driver that ignores their cancellation.
// The reader touches nothing of this object once it has said it is done.
void CImageDevice::StopCapture()
{
    m_bStop.store(1);
    SetEvent(m_hStopEvent);
    if (!m_hThread)
        return;
    if (m_hReaderDone)
        WaitForSingleObject(m_hReaderDone, INFINITE);
    WaitForSingleObject(m_hThread, m_hReaderDone ? READER_EXIT_GRACE_MS : INFINITE);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
}

DWORD WINAPI CImageDevice::CaptureThreadProc(LPVOID param)
{
    auto* device = static_cast<CImageDevice*>(param);
    device->RunCapture();
    SetEvent(device->m_hReaderDone); // the last use of the device object
    return 1;
}

void CImageDevice::WaitForStop(DWORD milliseconds)
{
    if (m_hStopEvent)
        WaitForSingleObject(m_hStopEvent, milliseconds);
    else
        Sleep(milliseconds == INFINITE ? TRANSFER_TIMEOUT_MS : milliseconds);
}

void CImageDevice::PauseAfterFailedRead(ULONGLONG readStartedMs)
{
    // Reads on a closed link, or on a device that has gone away, fail at
    // once; without this pause the loop would spin a core until the link is
    // reopened or the capture stopped. A read that timed out has waited
    // already. A read that succeeds with 0 bytes (a transfer ended by a
    // zero-length packet) is not a failure: the stream goes on, and the
    // next read follows at once.
    const ULONGLONG elapsed = GetTickCount64() - readStartedMs;
    if (elapsed < TRANSFER_TIMEOUT_MS)
        WaitForStop(static_cast<DWORD>(TRANSFER_TIMEOUT_MS - elapsed));
}

void CImageDevice::RunCapture()
{
    {
        std::unique_ptr<BYTE[]> ring(new (std::nothrow) BYTE[RING_SLOTS * CHUNK_SIZE]);
        CCaptureFile file;
        BYTE slot = 0;

        while (ring && m_bStop.load() == 0) {
            BYTE* chunk = ring.get() + slot * CHUNK_SIZE;
            const ULONGLONG readStartedMs = GetTickCount64();
            DWORD count = 0;
            const BOOL succeeded = Transfer(Direction::In, chunk, CHUNK_SIZE, count);
            if (count > 0) {
                PostChunk(m_hwndTarget, chunk, count);
                file.Append(chunk, count);
            } else if (!succeeded) {
                PauseAfterFailedRead(readStartedMs);
            }
            slot = static_cast<BYTE>((slot + 1) % RING_SLOTS);
        }
        // Without a ring there is nothing to read into: wait to be stopped.
        while (!ring && m_bStop.load() == 0)
            WaitForStop(INFINITE);
    } // the ring is released and the capture file closed here

    Write(CMD_STOP_STREAM, STOP_STREAM_LENGTH);
}

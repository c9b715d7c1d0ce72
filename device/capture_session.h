// capture_session.h - CCaptureSession, one capture: its reader thread, its
// ring of queued reads, the capture file's writer, the reads' health and
// the reader's clock. CImageDevice makes one at PrepareCapture (or at
// StartCapture) and destroys it at StopCapture; the device keeps the link
// and the protocol.
//
// The reader reads through the device's link lease (image_device.h), hands
// every byte a read brings, whatever its status, to the window's chunk
// queue and the capture file, and watches the stream: no byte for
// SILENCE_TOLD_MS, and the first picture that lost bytes, are each told
// once per capture. The capture goes on until it is stopped.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "device/chunk_notice.h"
#include "device/image_device.h"
#include "device/win_handle.h"

class CCaptureWriter;
struct RecordingFailure;
class CReadRing;
class CLossWatch;
class CReaderClock;

// No stream byte for this long means the device has stopped answering.
constexpr DWORD SILENCE_TOLD_MS = 2000;
// Failing reads with no stream byte for this long: the reader cancels what
// is queued and asks with one read at a time, so a device that has gone
// away costs a few requests a second.
constexpr DWORD PROBE_AFTER_MS = 1000;

class CCaptureSession {
public:
    explicit CCaptureSession(CImageDevice& device);
    // Only once Stop has returned, or when Prepare failed.
    ~CCaptureSession();

    CCaptureSession(const CCaptureSession&) = delete;
    CCaptureSession& operator=(const CCaptureSession&) = delete;

    // UI thread. Makes the ring and the reader, which waits for Start
    // without touching the device or the file; FALSE, with the system's
    // reason in `error`, when either cannot be made.
    BOOL Prepare(DWORD& error);
    // UI thread. Sets the reader off, its chunks to pQueue and its news to
    // hwndTarget; at once, since Prepare made all it needs.
    void Start(HWND hwndTarget, CChunkQueue* pQueue);
    BOOL HasStarted() const { return m_bStarted; }
    // UI thread. Returns once the reader's work is done; the file's writer
    // drains until deadlineMs (GetTickCount64) at most.
    void Stop(ULONGLONG deadlineMs);
    ReaderTimings Timings() const { return m_timings; }

private:
    static DWORD WINAPI ThreadProc(LPVOID param);
    void Run();
    BOOL WaitForStart();
    void ReadLink(HANDLE hDevice);
    void Deliver(const BYTE* bytes, DWORD count);
    void CheckSilence();
    void OpenFileOnce();
    void FinishFile();
    BOOL MustLeaveLink() const;
    // Waits up to `milliseconds` for a stop or a change of the link.
    void WaitForStopOrLink(DWORD milliseconds);
    // How long the reader may wait now: until the writer's catch-up or the
    // moment silence is to be told, whichever comes first.
    DWORD WaitLimit() const;
    std::unique_ptr<CCaptureWriter> CreateCaptureFile();
    static void OnRecordingFailed(void* context, const RecordingFailure& failure);
    ULONGLONG FileBytes() const;
    BOOL IsRecording() const;

    CImageDevice& m_device;
    HWND m_hwndTarget = nullptr;        // set by Start, before the reader is set off
    CChunkQueue* m_pQueue = nullptr;    // likewise
    std::unique_ptr<CReadRing> m_pRing;
    std::unique_ptr<CLossWatch> m_pLossWatch;
    std::unique_ptr<CCaptureWriter> m_pFile; // the reader's, once it runs
    CEventHandle m_startEvent;  // signalled by Start
    CEventHandle m_stopEvent;   // signalled with m_bStop, so an idle reader wakes at once
    CEventHandle m_doneEvent;   // signalled by the reader when its work is over
    HANDLE m_hThread = nullptr;
    BOOL m_bStarted = FALSE; // the UI thread's
    std::atomic<LONG> m_bStop{0};
    std::atomic<ULONGLONG> m_drainDeadlineMs{0}; // set before m_bStop

    // The reader's own.
    CReaderClock* m_pClock = nullptr; // while it runs
    ULONGLONG m_lastByteMs = 0;   // the capture's start, or its last stream byte
    DWORD m_lastError = ERROR_SUCCESS; // of the last failed read
    BOOL m_bProbing = FALSE;
    BOOL m_bToldSilent = FALSE;
    BOOL m_bFileOpened = FALSE;
    ReaderTimings m_timings = {}; // written by the reader, read after it is done
};

// image_device.h - CImageDevice, the one link to the image sensor's driver.
//
// The link opens the first present interface of the driver's class, moves
// bytes with 200 ms timed overlapped transfers, resets the device, speaks
// its command protocol (Connect, StartImaging) and runs the capture reader
// thread (StartCapture, StopCapture).
//
// Threads: the UI thread and the reader may transfer at the same time, each
// transfer with its own event and OVERLAPPED. Transfers hold the link lock
// shared; Open and Close hold it exclusively, so a handle is never closed
// while a transfer is on it and no transfer starts on a released handle.
// The reader holds the lock shared for as long as it has reads queued on
// the handle; Close first asks it to cancel and finish them (m_bClosing,
// m_hLinkEvent), so the handle is closed only once none is left on it.
//
// Every wait on the driver is bounded: a transfer that times out is
// cancelled and given CANCEL_GRACE_MS to finish, the reset gets
// RESET_TIMEOUT_MS and the same grace. A request the driver keeps anyway
// is parked (device_request.h) and the call reports failure.
#pragma once

#include <windows.h>

#include <winioctl.h>

#include <atomic>
#include <deque>
#include <memory>

#include "device/device_protocol.h"

class CCaptureWriter;
struct RecordingFailure;
class CChunkQueue;

// {1B65BEDD-1D6A-11D6-807D-82B3DAB6C625}
extern const GUID GUID_DEVINTERFACE_IMAGEDEV;

// Device type 0x22 (FILE_DEVICE_UNKNOWN), function 2, buffered, any access.
constexpr DWORD IOCTL_DEVICE_RESET = CTL_CODE(0x22, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);

constexpr DWORD TRANSFER_TIMEOUT_MS = 200;
constexpr DWORD RESET_TIMEOUT_MS = 1500;
// How long StopCapture waits for the reader's thread to end once its work is
// over; a thread with stuck requests may take minutes, and is left to it.
constexpr DWORD READER_EXIT_GRACE_MS = 100;
// How long the reader waits before it asks again after a failed read or
// while the link is closed: a closed link must not cost a core.
constexpr DWORD FAILED_READ_PAUSE_MS = TRANSFER_TIMEOUT_MS;

// Posted by the capture reader to the window it serves when there is a
// CaptureProblem to take; wParam 0, lParam 0.
constexpr UINT WM_CAPTURE_PROBLEM = WM_USER + 79;

// Something about a capture the operator must be told; the capture itself
// goes on until it is stopped.
struct CaptureProblem {
    enum Kind {
        FILE_NOT_CREATED,     // nothing is recorded
        RECORDING_FAILED,     // a write failed, or the disk fell behind (error 0)
        DEVICE_NOT_ANSWERING, // every read failing for a while
    };
    Kind kind;
    DWORD error;          // the system's error code, where there is one
    ULONGLONG fileBytes;  // what the capture file holds (or will, once written)
    BOOL bRecording;      // the file is still being written
};

// Where the capture reader's time went in the longest gap between two
// completions it handed on, in its last capture: what keeps a device with
// a small buffer waiting.
struct ReaderTimings {
    double longestGapMs;
    double waitingMs;   // of that gap: waiting for the device
    double postingMs;   //              handing chunks to the window
    double recordingMs; //              handing bytes to the file's writer
    double issuingMs;   //              issuing reads
    ULONGLONG handedOn; // completions with bytes, in the whole capture
};

class CImageDevice {
public:
    CImageDevice();
    virtual ~CImageDevice();

    CImageDevice(const CImageDevice&) = delete;
    CImageDevice& operator=(const CImageDevice&) = delete;

    // Device link. Open keeps a link that is already open and returns TRUE.
    BOOL Open(const GUID& interfaceClass, DWORD index);
    DWORD Read(void* buffer, WORD length);
    DWORD Write(const void* buffer, WORD length);
    BOOL Reset();
    BOOL Close();
    BOOL IsOpen() const;

    // Command protocol (UI thread).
    BOOL Connect();
    BOOL StartImaging(const SensorSettings& settings);

    // Capture reader. StartCapture (UI thread) is called only while no
    // reader runs; the reader's chunks go to the chunk queue set before it
    // (none: the capture is only recorded), announced to the application's
    // main window as it is then, and so are its problems. StopCapture
    // returns once the reader's work is done: its reads finished, every
    // byte it read in the capture file, the file closed and the stream
    // stopped (at once if none runs). The destructor stops a reader still
    // running.
    void SetChunkQueue(CChunkQueue* pQueue) { m_pChunkQueue = pQueue; }
    void StartCapture();
    void StopCapture();
    // UI thread: the oldest problem not yet taken; FALSE when none is left.
    BOOL TakeCaptureProblem(CaptureProblem& problem);
    // The last capture's, once StopCapture has returned.
    ReaderTimings GetReaderTimings() const { return m_readerTimings; }

private:
    enum class Direction { In, Out };

    // TRUE when the request completed successfully; `count` is then the
    // bytes moved, which may be 0 (a zero-length transfer).
    BOOL Transfer(Direction direction, void* buffer, WORD length, DWORD& count);
    BOOL WriteRegisters(const SensorSettings& settings);
    BOOL Synchronize();

    static DWORD WINAPI CaptureThreadProc(LPVOID param);
    void RunCapture();
    BOOL AcquireLinkLease(HANDLE& hDevice);
    void ReleaseLinkLease();
    BOOL ReaderMustLeaveLink() const;
    // Waits up to `milliseconds` for a stop or a change of the link.
    void WaitForStopOrLink(DWORD milliseconds);
    std::unique_ptr<CCaptureWriter> CreateCaptureFile();
    static void OnRecordingFailed(void* context, const RecordingFailure& failure);
    void ReportProblem(const CaptureProblem& problem);

    HANDLE m_hDevice;             // guarded by m_linkLock
    std::atomic<LONG> m_bStop;    // set by the UI thread, read by the reader
    std::atomic<LONG> m_bClosing; // set by Close until the handle is closed
    HANDLE m_hThread;
    HANDLE m_hStopEvent;          // signalled with m_bStop, so an idle reader wakes at once
    HANDLE m_hLinkEvent;          // signalled when the link closes or opens
    HANDLE m_hReaderDone;         // signalled by the reader when its work is over
    HWND m_hwndTarget;            // told of chunks and problems; set before the reader starts
    CChunkQueue* m_pChunkQueue = nullptr; // set before the reader starts
    mutable SRWLOCK m_linkLock;
    SRWLOCK m_problemLock;
    std::deque<CaptureProblem> m_problems; // guarded by m_problemLock
    ReaderTimings m_readerTimings = {};    // written by the reader, read after it is done
};

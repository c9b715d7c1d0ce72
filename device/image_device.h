// image_device.h - CImageDevice, the one link to the image sensor's driver.
//
// The link opens the first present interface of the driver's class, moves
// bytes with 200 ms timed overlapped transfers, resets the device, speaks
// its command protocol (Connect, StartImaging) and owns the capture while
// one runs (StartCapture, StopCapture: capture_session.h).
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

class CCaptureSession;
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
// How long the capture file's writer may still take to drain once a
// capture ends: Stop and Exit come back within 10 s whatever the disk
// does, and at the end of the session Windows waits about 5 s.
constexpr DWORD STOP_DRAIN_MS = 8000;
constexpr DWORD END_SESSION_DRAIN_MS = 3000;

// Posted by the capture reader to the window it serves when there is a
// CaptureProblem to take; wParam 0, lParam 0.
constexpr UINT WM_CAPTURE_PROBLEM = WM_USER + 79;

// Something about a capture the operator must be told; the capture itself
// goes on until it is stopped.
struct CaptureProblem {
    enum Kind {
        FILE_NOT_CREATED,     // nothing is recorded
        RECORDING_FAILED,     // a write failed, or the disk fell behind (error 0)
        DEVICE_NOT_ANSWERING, // no stream byte for a while
        BYTES_LOST,           // a picture between two markers of the wrong length
        NOT_STARTED,          // the reader could not be made: no capture runs
    };
    Kind kind;
    DWORD error;          // the system's error code, where there is one
    ULONGLONG fileBytes;  // what the capture file holds (or will, once written)
    BOOL bRecording;      // the file is still being written
    ULONGLONG pictures;   // BYTES_LOST: pictures ended so far, the damaged one included
};

// The capture reader's time, step by step.
struct ReaderSteps {
    double waitingMs;   // waiting for the device
    double postingMs;   // handing chunks to the window
    double recordingMs; // handing bytes to the file's writer
    double issuingMs;   // issuing reads
};

// Where the capture reader's time went in the longest gap between two
// completions it handed on, in its last capture: what keeps a device with
// a small buffer waiting; and, over the whole capture, what limits it.
struct ReaderTimings {
    double longestGapMs;
    ReaderSteps inLongestGap;
    ULONGLONG handedOn; // completions with bytes, in the whole capture
    ReaderSteps total;
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

    // The capture (UI thread). StartCapture is called only while none runs;
    // the reader's chunks go to the chunk queue set before it (none: the
    // capture is only recorded), announced to the application's main window
    // as it is then, and so are its problems. FALSE when the reader cannot
    // be made: the problem is reported and the stream stopped. StopCapture
    // returns once the reader's work is done: its reads finished, the
    // stream stopped, every byte it read in the capture file (or, past
    // drainMs, given up and reported) and the file closed; at once if none
    // runs. The destructor stops a capture still running.
    //
    // The stream begins with the start sequence's last command, and the
    // device's buffer is all it has until reads are queued: PrepareCapture,
    // called before StartImaging, makes the reader ready (its thread
    // waiting, neither the device nor the capture file touched), so that
    // StartCapture sets it reading at once. StopCapture ends a prepared
    // reader that was never started, without a trace. StartCapture without
    // it prepares one first.
    void SetChunkQueue(CChunkQueue* pQueue) { m_pChunkQueue = pQueue; }
    BOOL PrepareCapture(DWORD* pError = nullptr);
    BOOL StartCapture();
    void StopCapture(DWORD drainMs = STOP_DRAIN_MS);
    BOOL IsCapturing() const;
    // UI thread: the oldest problem not yet taken; FALSE when none is left.
    BOOL TakeCaptureProblem(CaptureProblem& problem);
    // The last capture's, once StopCapture has returned.
    ReaderTimings GetReaderTimings() const { return m_readerTimings; }

private:
    friend class CCaptureSession; // the link's lease and the problems

    enum class Direction { In, Out };

    // TRUE when the request completed successfully; `count` is then the
    // bytes moved, which may be 0 (a zero-length transfer).
    BOOL Transfer(Direction direction, void* buffer, WORD length, DWORD& count);
    BOOL Handshake(BOOL& bRefused);
    BOOL WriteRegisters(const SensorSettings& settings);
    BOOL Synchronize();

    // The reader holds the link lock shared while it has reads queued, so
    // the handle stays valid under them; it never takes it while a close
    // waits.
    BOOL AcquireLinkLease(HANDLE& hDevice);
    void ReleaseLinkLease();
    BOOL IsClosing() const { return m_bClosing.load() != 0; }
    HANDLE LinkEvent() const { return m_hLinkEvent; }
    // Any thread. The window is told there is news; what the news is stays
    // here, out of reach of messages from elsewhere.
    void ReportProblem(const CaptureProblem& problem);

    HANDLE m_hDevice;             // guarded by m_linkLock
    std::atomic<LONG> m_bClosing; // set by Close until the handle is closed
    HANDLE m_hLinkEvent;          // signalled when the link closes or opens
    HWND m_hwndTarget;            // told of chunks and problems; set before the reader starts
    CChunkQueue* m_pChunkQueue = nullptr; // set before the reader starts
    std::unique_ptr<CCaptureSession> m_pCapture; // while a capture is prepared or runs
    mutable SRWLOCK m_linkLock;
    SRWLOCK m_problemLock;
    std::deque<CaptureProblem> m_problems; // guarded by m_problemLock
    ReaderTimings m_readerTimings = {};    // written by the reader, read after it is done
};

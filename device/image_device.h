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

#include "device/device_protocol.h"

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
    // main window as it is then. StopCapture returns once the reader has
    // ended (at once if none runs).
    void SetChunkQueue(CChunkQueue* pQueue) { m_pChunkQueue = pQueue; }
    void StartCapture();
    void StopCapture();

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

    HANDLE m_hDevice;             // guarded by m_linkLock
    std::atomic<LONG> m_bStop;    // set by the UI thread, read by the reader
    std::atomic<LONG> m_bClosing; // set by Close until the handle is closed
    HANDLE m_hThread;
    HANDLE m_hStopEvent;          // signalled with m_bStop, so an idle reader wakes at once
    HANDLE m_hLinkEvent;          // signalled when the link closes or opens
    HANDLE m_hReaderDone;         // signalled by the reader when its work is over
    HWND m_hwndTarget;            // where the reader's chunks go; set before the reader starts
    CChunkQueue* m_pChunkQueue = nullptr; // set before the reader starts
    mutable SRWLOCK m_linkLock;
};

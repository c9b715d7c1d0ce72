// device_request.h - one overlapped request to the driver, with everything
// the driver may write until the request completes: its OVERLAPPED, its
// completion event and its own copy of the data.
//
// A driver that never completes a cancelled request (no cancel routine, or
// stuck hardware) may still write all three at any later time. Such a
// request is parked rather than released: the parking keeps it, for the
// rest of the process if need be, and releases it only once the system
// reports it complete. The parking is bounded; while it is full, no new
// request is issued.
#pragma once

#include <windows.h>

#include <memory>

#include "device/win_handle.h"

// A cancelled request gets this long to complete before it is parked.
constexpr DWORD CANCEL_GRACE_MS = 1000;

// Requests the driver has not finished, kept alive at most; beyond it
// the link refuses transfers (the device is wedged, not slow). Room for
// the queued reads of two captures and the transfers around them.
constexpr long MAX_PARKED_REQUESTS = 256;

class CDeviceRequest {
public:
    // Null when the event or the buffer cannot be had.
    static std::unique_ptr<CDeviceRequest> Create(DWORD length);

    CDeviceRequest(const CDeviceRequest&) = delete;
    CDeviceRequest& operator=(const CDeviceRequest&) = delete;

    OVERLAPPED* Overlapped() { return &m_overlapped; }
    BYTE* Buffer() { return m_buffer.get(); }

    // Waits up to `timeoutMs` for the request to complete; on time-out it
    // is cancelled and given CANCEL_GRACE_MS more. TRUE when the request
    // has completed (successfully or not); FALSE when the driver still
    // holds it, and the request must then be parked.
    BOOL WaitForCompletion(HANDLE hDevice, DWORD timeoutMs);

    // The result of a completed request: TRUE on success, with the bytes
    // moved in `count`. A request that failed after it had moved bytes (a
    // cancellation, a pipe reset, the driver's own time-out) keeps them:
    // they are the stream's, and dropping them would leave a hole. A count
    // larger than the request asked for is a driver fault: the request
    // fails with no bytes, so nothing is ever copied past what was asked.
    BOOL Result(HANDLE hDevice, DWORD& count);

    BOOL HasCompleted() const { return HasOverlappedIoCompleted(&m_overlapped); }
    HANDLE Event() const { return m_event.Get(); }

    // Issues a read of `length` bytes (at most the buffer's) on hDevice,
    // reusing the request: only for a request that has completed (or was
    // never issued). FALSE when the read failed at once; otherwise it is in
    // flight or done.
    BOOL IssueRead(HANDLE hDevice, DWORD length);

private:
    explicit CDeviceRequest(DWORD length);

    OVERLAPPED m_overlapped;
    CEventHandle m_event;
    std::unique_ptr<BYTE[]> m_buffer;
    DWORD m_length;
    DWORD m_asked; // by the last read issued; the whole buffer otherwise
};

using DeviceRequestPtr = std::unique_ptr<CDeviceRequest>;

// A new request, or null when none can be had or the parking is full.
DeviceRequestPtr NewDeviceRequest(DWORD length);

// Waits for an issued request (see WaitForCompletion); when the driver
// keeps it, the request is parked, `request` is left empty and the result
// is FALSE.
BOOL FinishOrPark(HANDLE hDevice, DeviceRequestPtr& request, DWORD timeoutMs);

// Keeps a request the driver has not finished alive until it completes.
void ParkRequest(DeviceRequestPtr request);

// Requests parked now, in this process.
long ParkedRequests();

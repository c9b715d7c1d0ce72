#include "device/device_request.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <vector>

namespace {

class CRequestParking {
public:
    CRequestParking() { InitializeSRWLock(&m_lock); }

    void Park(DeviceRequestPtr request)
    {
        CExclusiveLock lock(m_lock);
        m_requests.push_back(std::move(request));
        m_count = static_cast<long>(m_requests.size());
    }

    void ReleaseCompleted()
    {
        if (m_count == 0)
            return;
        CExclusiveLock lock(m_lock);
        for (auto it = m_requests.begin(); it != m_requests.end();) {
            if ((*it)->HasCompleted())
                it = m_requests.erase(it);
            else
                ++it;
        }
        m_count = static_cast<long>(m_requests.size());
    }

    long Count() const { return m_count; }

private:
    SRWLOCK m_lock;
    std::vector<DeviceRequestPtr> m_requests;
    std::atomic<long> m_count{0}; // read without the lock
};

// Never destroyed: a request the driver still holds at exit must stay
// valid to the very end of the process.
CRequestParking& Parking()
{
    static CRequestParking* parking = new CRequestParking;
    return *parking;
}

} // namespace

CDeviceRequest::CDeviceRequest(DWORD length)
    : m_overlapped(),
      m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_buffer(length ? new (std::nothrow) BYTE[length] : nullptr),
      m_length(length),
      m_asked(length)
{
    m_overlapped.hEvent = m_event.Get();
}

std::unique_ptr<CDeviceRequest> CDeviceRequest::Create(DWORD length)
{
    std::unique_ptr<CDeviceRequest> request(new (std::nothrow) CDeviceRequest(length));
    if (!request || !request->m_event.IsValid() || (length && !request->m_buffer))
        return nullptr;
    return request;
}

BOOL CDeviceRequest::WaitForCompletion(HANDLE hDevice, DWORD timeoutMs)
{
    if (WaitForSingleObject(m_event.Get(), timeoutMs) == WAIT_OBJECT_0)
        return TRUE;
    // Only this request: the other thread's transfer on the handle goes on.
    CancelIoEx(hDevice, &m_overlapped);
    return WaitForSingleObject(m_event.Get(), CANCEL_GRACE_MS) == WAIT_OBJECT_0;
}

BOOL CDeviceRequest::Result(HANDLE hDevice, DWORD& count)
{
    count = 0;
    const BOOL succeeded = GetOverlappedResult(hDevice, &m_overlapped, &count, FALSE);
    if (count > m_asked) {
        count = 0;
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    return succeeded;
}

BOOL CDeviceRequest::IssueRead(HANDLE hDevice, DWORD length)
{
    m_asked = std::min(length, m_length);
    // ReadFile resets the event itself; the rest of the record starts afresh.
    const HANDLE event = m_overlapped.hEvent;
    m_overlapped = OVERLAPPED();
    m_overlapped.hEvent = event;
    return ReadFile(hDevice, m_buffer.get(), m_asked, nullptr, &m_overlapped) || GetLastError() == ERROR_IO_PENDING;
}

DeviceRequestPtr NewDeviceRequest(DWORD length)
{
    Parking().ReleaseCompleted();
    if (Parking().Count() >= MAX_PARKED_REQUESTS)
        return nullptr;
    return CDeviceRequest::Create(length);
}

BOOL FinishOrPark(HANDLE hDevice, DeviceRequestPtr& request, DWORD timeoutMs)
{
    if (request->WaitForCompletion(hDevice, timeoutMs))
        return TRUE;
    Parking().Park(std::move(request));
    return FALSE;
}

void ParkRequest(DeviceRequestPtr request)
{
    Parking().Park(std::move(request));
}

long ParkedRequests()
{
    return Parking().Count();
}

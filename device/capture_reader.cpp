// The capture reader: a thread that streams the device's output in chunks
// to the main window and to the capture file until it is told to stop.
//
// The device keeps producing between two completions, so a single read
// leaves it nothing to fill while the reader posts, records and issues the
// next one, and at the bus rate its buffer overflows. The reader therefore
// keeps a read of CHUNK_SIZE queued in every ring slot (RING_SLOTS), each
// with its own OVERLAPPED, event and buffer made once per capture: it takes
// the oldest read back, hands its bytes on and issues that slot again at
// once, so chunks keep the order the reads were issued in.
#include <memory>
#include <new>
#include <vector>

#include "afx/afxwin.h"
#include "device/chunk_notice.h"
#include "device/device_request.h"
#include "device/image_device.h"
#include "device/win_handle.h"

namespace {

const char CAPTURE_FILE_PATH[] = "C:\\1.txt";

// Bytes gathered before they go to the file in one write; the reader also
// writes whatever it holds whenever it is about to wait for the device.
constexpr DWORD FILE_BATCH_BYTES = 32 * CHUNK_SIZE;

// Recreated at every start; raw stream bytes, nothing added. A file that
// cannot be created leaves the capture unrecorded but running.
class CCaptureFile {
public:
    CCaptureFile()
        : m_file(CreateFileA(CAPTURE_FILE_PATH, GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr)),
          m_pending(0)
    {
        if (m_file.IsValid())
            m_batch.reset(new (std::nothrow) BYTE[FILE_BATCH_BYTES]);
    }
    ~CCaptureFile() { Flush(); }

    CCaptureFile(const CCaptureFile&) = delete;
    CCaptureFile& operator=(const CCaptureFile&) = delete;

    void Append(const BYTE* bytes, DWORD count)
    {
        if (!m_file.IsValid())
            return;
        if (!m_batch) {
            Write(bytes, count);
            return;
        }
        if (m_pending + count > FILE_BATCH_BYTES)
            Flush();
        CopyMemory(m_batch.get() + m_pending, bytes, count);
        m_pending += count;
    }

    void Flush()
    {
        if (m_pending == 0)
            return;
        Write(m_batch.get(), m_pending);
        m_pending = 0;
    }

private:
    void Write(const BYTE* bytes, DWORD count)
    {
        DWORD written = 0;
        WriteFile(m_file.Get(), bytes, count, &written, nullptr);
    }

    CFileHandle m_file;
    std::unique_ptr<BYTE[]> m_batch;
    DWORD m_pending;
};

// The ring of queued reads. Slots are issued in ring order and taken back
// in the same order, from the oldest.
class CReadRing {
public:
    CReadRing() : m_oldest(0), m_queued(0) {}

    // FALSE when not one slot's request could be had.
    BOOL Create()
    {
        m_slots.resize(RING_SLOTS);
        for (Slot& slot : m_slots)
            slot.request = NewDeviceRequest(CHUNK_SIZE);
        return HasRequests();
    }

    BOOL HasRequests() const
    {
        for (const Slot& slot : m_slots) {
            if (slot.request)
                return TRUE;
        }
        return FALSE;
    }

    size_t Queued() const { return m_queued; }

    // Issues a read in every slot behind the queued ones. A slot whose
    // request was parked gets a new one first, if one can be had.
    void IssueIdle(HANDLE hDevice)
    {
        while (m_queued < m_slots.size()) {
            Slot& slot = m_slots[(m_oldest + m_queued) % m_slots.size()];
            if (!slot.request)
                slot.request = NewDeviceRequest(CHUNK_SIZE);
            if (!slot.request)
                return;
            slot.failedAtOnce = !slot.request->IssueRead(hDevice);
            ++m_queued;
        }
    }

    // The oldest queued read, or null when none is queued.
    CDeviceRequest* Oldest() const { return m_queued ? m_slots[m_oldest].request.get() : nullptr; }

    BOOL OldestHasCompleted() const
    {
        const Slot& slot = m_slots[m_oldest];
        return slot.failedAtOnce || slot.request->HasCompleted();
    }

    // Waits for the oldest read to complete or for one of `wakers` (the
    // stop and link events; without both, waits are bounded so that the
    // caller still notices a stop or a close by polling).
    void WaitForOldest(HANDLE stopEvent, HANDLE linkEvent, DWORD pollMs) const
    {
        HANDLE events[3] = {m_slots[m_oldest].request->Event(), stopEvent, linkEvent};
        if (stopEvent && linkEvent)
            WaitForMultipleObjects(3, events, FALSE, INFINITE);
        else
            WaitForSingleObject(events[0], pollMs);
    }

    // Takes the oldest read back once it has completed; its slot is then
    // issued again by the next IssueIdle. TRUE on success, with its `count`
    // bytes at `bytes` until then.
    BOOL TakeOldest(HANDLE hDevice, const BYTE*& bytes, DWORD& count)
    {
        Slot& slot = m_slots[m_oldest];
        count = 0;
        bytes = slot.request->Buffer();
        const BOOL succeeded = !slot.failedAtOnce && slot.request->Result(hDevice, count);
        Advance();
        return succeeded;
    }

    // Cancels every queued read and waits, all together at most
    // CANCEL_GRACE_MS, for them to finish; each one's bytes go to
    // `deliver` in order, and a read the driver keeps is parked. Nothing
    // is queued on the handle afterwards.
    template <typename Deliver>
    void CancelAndFinish(HANDLE hDevice, Deliver deliver)
    {
        if (m_queued == 0)
            return;
        // Only this thread's requests: the UI thread's transfers go on.
        CancelIo(hDevice);
        const ULONGLONG deadline = GetTickCount64() + CANCEL_GRACE_MS;
        while (m_queued > 0) {
            Slot& slot = m_slots[m_oldest];
            if (!slot.failedAtOnce && !slot.request->HasCompleted()) {
                const ULONGLONG now = GetTickCount64();
                WaitForSingleObject(slot.request->Event(), now < deadline ? static_cast<DWORD>(deadline - now) : 0);
            }
            if (!slot.failedAtOnce && !slot.request->HasCompleted()) {
                ParkRequest(std::move(slot.request));
                Advance();
                continue;
            }
            const BYTE* bytes = nullptr;
            DWORD count = 0;
            TakeOldest(hDevice, bytes, count);
            if (count > 0)
                deliver(bytes, count);
        }
    }

private:
    struct Slot {
        DeviceRequestPtr request;
        BOOL failedAtOnce = FALSE; // the read failed when issued: nothing is in flight
    };

    void Advance()
    {
        m_oldest = (m_oldest + 1) % m_slots.size();
        --m_queued;
    }

    std::vector<Slot> m_slots;
    size_t m_oldest;
    size_t m_queued;
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
    // The device drops what its buffer cannot hold: the reader must get the
    // processor back promptly whenever a read completes.
    if (m_hThread)
        SetThreadPriority(m_hThread, THREAD_PRIORITY_HIGHEST);
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

void CImageDevice::WaitForStopOrLink(DWORD milliseconds)
{
    HANDLE events[2];
    DWORD count = 0;
    if (m_hStopEvent)
        events[count++] = m_hStopEvent;
    if (m_hLinkEvent)
        events[count++] = m_hLinkEvent;
    if (count == 0)
        Sleep(milliseconds == INFINITE ? FAILED_READ_PAUSE_MS : milliseconds);
    else
        WaitForMultipleObjects(count, events, FALSE, milliseconds);
}

BOOL CImageDevice::ReaderMustLeaveLink() const
{
    return m_bStop.load() != 0 || m_bClosing.load() != 0;
}

// The reader holds the link lock shared while it has reads queued, so the
// handle stays valid under them; it never takes it while a close waits.
BOOL CImageDevice::AcquireLinkLease(HANDLE& hDevice)
{
    if (m_bClosing.load())
        return FALSE;
    AcquireSRWLockShared(&m_linkLock);
    if (m_bClosing.load() || m_hDevice == INVALID_HANDLE_VALUE) {
        ReleaseSRWLockShared(&m_linkLock);
        return FALSE;
    }
    hDevice = m_hDevice;
    return TRUE;
}

void CImageDevice::ReleaseLinkLease()
{
    ReleaseSRWLockShared(&m_linkLock);
}

void CImageDevice::RunCapture()
{
    {
        CReadRing ring;
        const BOOL haveRing = ring.Create();
        CCaptureFile file;
        auto deliver = [&](const BYTE* bytes, DWORD count) {
            if (m_pChunkQueue)
                m_pChunkQueue->Post(m_hwndTarget, bytes, count);
            file.Append(bytes, count);
        };

        while (m_bStop.load() == 0) {
            HANDLE hDevice = INVALID_HANDLE_VALUE;
            // Without a ring there is nothing to read into: wait to be stopped.
            if (!haveRing || !AcquireLinkLease(hDevice)) {
                file.Flush();
                WaitForStopOrLink(haveRing ? FAILED_READ_PAUSE_MS : INFINITE);
                continue;
            }
            while (!ReaderMustLeaveLink()) {
                ring.IssueIdle(hDevice);
                if (!ring.Oldest()) { // every request parked, and the parking full
                    WaitForStopOrLink(FAILED_READ_PAUSE_MS);
                    continue;
                }
                if (!ring.OldestHasCompleted()) {
                    file.Flush(); // the stream is idle: the file catches up
                    ring.WaitForOldest(m_hStopEvent, m_hLinkEvent, FAILED_READ_PAUSE_MS);
                    continue;
                }
                const BYTE* bytes = nullptr;
                DWORD count = 0;
                const BOOL succeeded = ring.TakeOldest(hDevice, bytes, count);
                if (count > 0) {
                    deliver(bytes, count);
                } else if (!succeeded) {
                    // A closed link or a device gone away fails every read
                    // at once: pause rather than spin. A read that succeeds
                    // with 0 bytes (a transfer ended by a zero-length
                    // packet) is not a failure and is issued again at once.
                    file.Flush();
                    WaitForStopOrLink(FAILED_READ_PAUSE_MS);
                }
            }
            ring.CancelAndFinish(hDevice, deliver);
            ReleaseLinkLease();
        }
    } // the ring is released and the capture file closed here

    Write(CMD_STOP_STREAM, STOP_STREAM_LENGTH);
}

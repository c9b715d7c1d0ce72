// The capture reader: a thread that streams the device's output in chunks
// to the main window and to the capture file until it is told to stop.
//
// The device keeps producing between two completions and drops what its
// buffer cannot hold, so the reader keeps RING_SLOTS reads of CHUNK_SIZE
// queued, each with its own OVERLAPPED, event and buffer made once per
// capture: it takes the oldest read back, hands its bytes on and issues
// that slot again at once, so chunks keep the order the reads were issued
// in. The queued reads are the only slack a device with a small buffer
// has while the reader is not running; the file is written by a thread of
// its own (capture_writer.h) so that the disk never adds to that time.
//
// Real drivers fail a read now and then: a failed read is issued again at
// once. A driver that takes fewer reads at once than the ring holds is
// followed at the depth it accepts. What the operator must know (the file
// cannot be created or written, the device stopped answering) is reported
// to the window, which tells the operator; the capture goes on.
#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "afx/afxwin.h"
#include "device/capture_writer.h"
#include "device/chunk_notice.h"
#include "device/device_request.h"
#include "device/image_device.h"
#include "device/win_handle.h"

namespace {

const char CAPTURE_FILE_PATH[] = "C:\\1.txt";

// Reads that keep failing, with nothing delivered between, for this long
// mean the device has stopped answering (unplugged, or broken).
constexpr DWORD DEVICE_SILENT_MS = 1000;

// The ring of queued reads. Slots are issued in ring order and taken back
// in the same order, from the oldest. A driver that takes fewer reads at
// once than the ring holds refuses the next one as busy: the ring then
// keeps to the depth the driver accepted, for the rest of the capture.
class CReadRing {
public:
    CReadRing() : m_oldest(0), m_queued(0), m_depth(RING_SLOTS) {}

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

    size_t Depth() const { return m_depth; }

    // Issues a read in every slot behind the queued ones, until `limit`
    // are queued or the depth is reached. A slot whose request was parked
    // gets a new one first, if one can be had.
    void IssueIdle(HANDLE hDevice, size_t limit)
    {
        while (m_queued < std::min(limit, m_depth)) {
            Slot& slot = m_slots[(m_oldest + m_queued) % m_slots.size()];
            if (!slot.request)
                slot.request = NewDeviceRequest(CHUNK_SIZE);
            if (!slot.request)
                return;
            slot.failedAtOnce = !slot.request->IssueRead(hDevice);
            slot.error = slot.failedAtOnce ? GetLastError() : ERROR_SUCCESS;
            if (slot.failedAtOnce && slot.error == ERROR_BUSY && HeldByDriver() > 0) {
                m_depth = HeldByDriver();
                return;
            }
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

    // Waits up to `timeoutMs` for the oldest read to complete or for one of
    // `wakers` (the stop and link events; without both, the wait is cut to
    // a poll so that the caller still notices a stop or a close).
    void WaitForOldest(HANDLE stopEvent, HANDLE linkEvent, DWORD timeoutMs) const
    {
        HANDLE events[3] = {m_slots[m_oldest].request->Event(), stopEvent, linkEvent};
        if (stopEvent && linkEvent)
            WaitForMultipleObjects(3, events, FALSE, timeoutMs);
        else
            WaitForSingleObject(events[0], std::min(timeoutMs, FAILED_READ_PAUSE_MS));
    }

    // Takes the oldest read back once it has completed; its slot is then
    // issued again by the next IssueIdle. TRUE on success, with its `count`
    // bytes at `bytes` until then; on failure `error` says why.
    BOOL TakeOldest(HANDLE hDevice, const BYTE*& bytes, DWORD& count, DWORD& error)
    {
        Slot& slot = m_slots[m_oldest];
        count = 0;
        bytes = slot.request->Buffer();
        BOOL succeeded = FALSE;
        if (slot.failedAtOnce) {
            error = slot.error;
        } else {
            succeeded = slot.request->Result(hDevice, count);
            error = succeeded ? ERROR_SUCCESS : GetLastError();
        }
        Advance();
        // Refused as busy after it was taken in (the refusal may come as
        // a completion): the driver holds as many as are still pending.
        if (!succeeded && error == ERROR_BUSY && HeldByDriver() > 0)
            m_depth = std::min(m_depth, HeldByDriver());
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
            DWORD error = 0;
            TakeOldest(hDevice, bytes, count, error);
            if (count > 0)
                deliver(bytes, count);
        }
    }

private:
    struct Slot {
        DeviceRequestPtr request;
        BOOL failedAtOnce = FALSE; // the read failed when issued: nothing is in flight
        DWORD error = ERROR_SUCCESS;
    };

    void Advance()
    {
        m_oldest = (m_oldest + 1) % m_slots.size();
        --m_queued;
    }

    // Queued reads the driver is working on: taken in and not completed.
    size_t HeldByDriver() const
    {
        size_t held = 0;
        for (size_t i = 0; i < m_queued; ++i) {
            const Slot& slot = m_slots[(m_oldest + i) % m_slots.size()];
            held += !slot.failedAtOnce && !slot.request->HasCompleted() ? 1 : 0;
        }
        return held;
    }

    std::vector<Slot> m_slots;
    size_t m_oldest;
    size_t m_queued;
    size_t m_depth;
};

// How the reads have been going. A failed read is issued again at once;
// only when every queued read has failed in a row does the reader pause,
// and then it asks with one read at a time until one succeeds, so a device
// that has gone away costs a few requests a second. Failures with nothing
// delivered between, for DEVICE_SILENT_MS, mean the device has stopped
// answering.
class CReadHealth {
public:
    void Succeeded()
    {
        m_failuresInRow = 0;
        m_failingSinceMs = 0;
        m_bProbing = FALSE;
    }

    // TRUE when this failure completes a row of every queued read: time to
    // pause.
    BOOL Failed(size_t depth)
    {
        if (m_failingSinceMs == 0)
            m_failingSinceMs = GetTickCount64();
        if (++m_failuresInRow < ReadsToQueue(depth))
            return FALSE;
        m_failuresInRow = 0;
        m_bProbing = TRUE;
        return TRUE;
    }

    size_t ReadsToQueue(size_t depth) const { return m_bProbing ? 1 : depth; }

    BOOL IsSilent() const { return m_failingSinceMs != 0 && GetTickCount64() - m_failingSinceMs >= DEVICE_SILENT_MS; }

private:
    size_t m_failuresInRow = 0;
    ULONGLONG m_failingSinceMs = 0;
    BOOL m_bProbing = FALSE;
};

// Times the reader's steps between two completions handed on, and keeps
// the breakdown of the longest such gap.
class CReaderClock {
public:
    enum Step { WAITING, POSTING, RECORDING, ISSUING, STEPS };

    CReaderClock()
    {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        m_ticksPerMs = frequency.QuadPart / 1000.0;
    }

    template <typename Work>
    void Time(Step step, Work work)
    {
        const LONGLONG start = Now();
        work();
        m_spent[step] += Now() - start;
    }

    void HandedOn()
    {
        const LONGLONG now = Now();
        if (m_last != 0 && now - m_last > m_longest) {
            m_longest = now - m_last;
            std::copy(m_spent, m_spent + STEPS, m_atLongest);
        }
        m_last = now;
        std::fill(m_spent, m_spent + STEPS, 0);
        ++m_handedOn;
    }

    ReaderTimings Result() const
    {
        return {Ms(m_longest), Ms(m_atLongest[WAITING]), Ms(m_atLongest[POSTING]), Ms(m_atLongest[RECORDING]),
                Ms(m_atLongest[ISSUING]), m_handedOn};
    }

private:
    static LONGLONG Now()
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return now.QuadPart;
    }
    double Ms(LONGLONG ticks) const { return ticks / m_ticksPerMs; }

    double m_ticksPerMs;
    LONGLONG m_last = 0;
    LONGLONG m_longest = 0;
    LONGLONG m_spent[STEPS] = {};
    LONGLONG m_atLongest[STEPS] = {};
    ULONGLONG m_handedOn = 0;
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
        std::unique_ptr<CCaptureWriter> file = CreateCaptureFile();
        CReaderClock clock;
        auto deliver = [&](const BYTE* bytes, DWORD count) {
            if (m_pChunkQueue)
                clock.Time(CReaderClock::POSTING, [&] { m_pChunkQueue->Post(m_hwndTarget, bytes, count); });
            if (file)
                clock.Time(CReaderClock::RECORDING, [&] { file->Append(bytes, count); });
            clock.HandedOn();
        };
        // A stream that idles still reaches the file within the writer's
        // catch-up time: the reader's waits end then.
        auto waitLimit = [&]() -> DWORD {
            return file && file->CatchUp() ? file->NextCatchUpMs() : INFINITE;
        };
        BOOL bToldSilent = FALSE;

        while (m_bStop.load() == 0) {
            HANDLE hDevice = INVALID_HANDLE_VALUE;
            // Without a ring there is nothing to read into: wait to be stopped.
            if (!haveRing || !AcquireLinkLease(hDevice)) {
                WaitForStopOrLink(haveRing ? std::min(waitLimit(), FAILED_READ_PAUSE_MS) : INFINITE);
                continue;
            }
            CReadHealth health; // a link opened anew starts with a clean record
            while (!ReaderMustLeaveLink()) {
                clock.Time(CReaderClock::ISSUING, [&] { ring.IssueIdle(hDevice, health.ReadsToQueue(ring.Depth())); });
                if (!ring.Oldest()) { // every request parked, and the parking full
                    WaitForStopOrLink(FAILED_READ_PAUSE_MS);
                    continue;
                }
                if (!ring.OldestHasCompleted()) {
                    const DWORD limitMs = waitLimit();
                    clock.Time(CReaderClock::WAITING, [&] { ring.WaitForOldest(m_hStopEvent, m_hLinkEvent, limitMs); });
                    continue;
                }
                const BYTE* bytes = nullptr;
                DWORD count = 0;
                DWORD error = ERROR_SUCCESS;
                // A read that succeeds with 0 bytes (a transfer ended by a
                // zero-length packet) is not a failure either.
                if (ring.TakeOldest(hDevice, bytes, count, error)) {
                    health.Succeeded();
                    if (count > 0)
                        deliver(bytes, count);
                    continue;
                }
                // A transfer error is issued again at once, with the other
                // reads still queued, so the device never goes without one.
                // A device gone away fails every read at once: pause rather
                // than spin, with whatever the last reads brought recorded.
                if (health.Failed(ring.Depth())) {
                    ring.CancelAndFinish(hDevice, deliver);
                    WaitForStopOrLink(FAILED_READ_PAUSE_MS);
                }
                if (!bToldSilent && health.IsSilent()) {
                    bToldSilent = TRUE;
                    ReportProblem({CaptureProblem::DEVICE_NOT_ANSWERING, error,
                                   file ? file->BytesRecorded() : 0, file && !file->HasFailed()});
                }
            }
            ring.CancelAndFinish(hDevice, deliver);
            ReleaseLinkLease();
        }
        if (file)
            file->Finish();
        m_readerTimings = clock.Result();
    } // the ring is released here

    Write(CMD_STOP_STREAM, STOP_STREAM_LENGTH);
}

// Recreated at every start; raw stream bytes, nothing added. A file that
// cannot be created leaves the capture running, unrecorded, and the
// operator is told.
std::unique_ptr<CCaptureWriter> CImageDevice::CreateCaptureFile()
{
    HANDLE hFile = CreateFileA(CAPTURE_FILE_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        ReportProblem({CaptureProblem::FILE_NOT_CREATED, GetLastError(), 0, FALSE});
        return nullptr;
    }
    std::unique_ptr<CCaptureWriter> writer(new (std::nothrow) CCaptureWriter(hFile, OnRecordingFailed, this));
    if (!writer) {
        CloseHandle(hFile);
        ReportProblem({CaptureProblem::RECORDING_FAILED, ERROR_NOT_ENOUGH_MEMORY, 0, FALSE});
    }
    return writer;
}

void CImageDevice::OnRecordingFailed(void* context, const RecordingFailure& failure)
{
    static_cast<CImageDevice*>(context)->ReportProblem(
        {CaptureProblem::RECORDING_FAILED, failure.error, failure.fileBytes, FALSE});
}

// Any thread. The window is told there is news; what the news is stays
// here, out of reach of messages from elsewhere.
void CImageDevice::ReportProblem(const CaptureProblem& problem)
{
    {
        CExclusiveLock lock(m_problemLock);
        m_problems.push_back(problem);
    }
    if (m_hwndTarget)
        PostMessageA(m_hwndTarget, WM_CAPTURE_PROBLEM, 0, 0);
}

BOOL CImageDevice::TakeCaptureProblem(CaptureProblem& problem)
{
    CExclusiveLock lock(m_problemLock);
    if (m_problems.empty())
        return FALSE;
    problem = m_problems.front();
    m_problems.pop_front();
    return TRUE;
}

// The capture reader: a thread that streams the device's output in chunks
// to the main window and to the capture file until it is told to stop.
//
// The device keeps producing between two completions and drops what its
// buffer cannot hold, so the reader keeps RING_SLOTS reads of READ_BYTES
// queued, each with its own OVERLAPPED, event and buffer made once per
// capture: it takes the oldest read back, hands its bytes on and issues
// that slot again at once, so chunks keep the order the reads were issued
// in. The queued reads are the only slack a device with a small buffer
// has while the reader is not running; the file is written by a thread of
// its own (capture_writer.h) so that the disk never adds to that time.
//
// Real drivers fail a read now and then: a failed read is issued again at
// once, at any depth. The device's health is judged by time alone: only
// failures with no stream byte for PROBE_AFTER_MS make the reader cancel
// and ask with one read at a time, and no byte for SILENCE_TOLD_MS is told
// to the operator. A driver that takes fewer reads at once than the ring
// holds is followed at the depth it accepts. What the operator must know
// is reported to the window, which tells the operator; the capture goes on.
#include "device/capture_session.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "afx/afxwin.h"
#include "device/capture_writer.h"
#include "device/chunk_notice.h"
#include "device/device_request.h"
#include "stream/capture_splitter.h"
#include "stream/stream_format.h"

// The ring of queued reads. Slots are issued in ring order and taken back
// in the same order, from the oldest. A driver that takes fewer reads at
// once than the ring holds refuses the next one as busy: when it is
// issued, and the ring then keeps to the reads it had queued; or later, as
// a completion, and the ring then keeps to no more than the reads taken
// back since the previous such refusal, which the driver held at most. A
// driver refusing now and then while briefly busy lowers it little.
class CReadRing {
public:
    CReadRing() : m_oldest(0), m_queued(0), m_depth(RING_SLOTS) {}

    // Makes the first slot's request; FALSE when it cannot be had. The
    // others are made as they are first issued, so that the first read
    // goes out as soon as the reader runs.
    BOOL Create()
    {
        m_slots.resize(RING_SLOTS);
        m_slots[0].request = NewDeviceRequest(READ_BYTES);
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
    // are queued or the depth is reached. A slot without a request (not
    // yet made, or parked) gets one first, if one can be had.
    void IssueIdle(HANDLE hDevice, size_t limit)
    {
        while (m_queued < std::min(limit, m_depth)) {
            Slot& slot = m_slots[(m_oldest + m_queued) % m_slots.size()];
            if (!slot.request)
                slot.request = NewDeviceRequest(READ_BYTES);
            if (!slot.request)
                return;
            slot.failedAtOnce = !slot.request->IssueRead(hDevice, READ_BYTES);
            slot.error = slot.failedAtOnce ? GetLastError() : ERROR_SUCCESS;
            if (slot.failedAtOnce && slot.error == ERROR_BUSY) {
                // Every read it took before is still ours, completed or not.
                if (Accepted() > 0)
                    m_depth = Accepted();
                return; // not queued: a busy driver is asked again later
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
    // issued again by the next IssueIdle. TRUE on success; on failure
    // `error` says why. Either way its `count` bytes are at `bytes` until
    // then.
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
            FollowLateRefusal(!succeeded && error == ERROR_BUSY);
        }
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
            DWORD error = 0;
            TakeOldest(hDevice, bytes, count, error);
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

    // Without this, a driver that refuses every read over its limit as a
    // completion is asked for a ring's worth of reads for each it takes.
    void FollowLateRefusal(BOOL refused)
    {
        if (!refused) {
            ++m_takenSinceRefusal;
            return;
        }
        m_depth = std::min(m_depth, std::max<size_t>(m_takenSinceRefusal, 1));
        m_takenSinceRefusal = 0;
    }

    // Queued reads the driver took in, whether it has completed them or not.
    size_t Accepted() const
    {
        size_t accepted = 0;
        for (size_t i = 0; i < m_queued; ++i)
            accepted += m_slots[(m_oldest + i) % m_slots.size()].failedAtOnce ? 0 : 1;
        return accepted;
    }

    std::vector<Slot> m_slots;
    size_t m_oldest;
    size_t m_queued;
    size_t m_depth;
    size_t m_takenSinceRefusal = 0;
};

// Splits the stream as orlavent-inspect does and notes the first picture
// between two markers that is not exactly a picture long: the device lost
// bytes (or a marker). The stretch before the first marker and the
// unfinished last picture are no such picture; a marker split between two
// reads is found whole.
class CLossWatch : public inspect::PictureSink {
public:
    CLossWatch() : m_splitter(this) {}

    // TRUE the first time a damaged picture ends.
    BOOL Feed(const BYTE* bytes, DWORD count)
    {
        m_splitter.Feed(bytes, count);
        if (m_damagedPicture == 0 || m_bTold)
            return FALSE;
        m_bTold = TRUE;
        return TRUE;
    }
    ULONGLONG DamagedPicture() const { return m_damagedPicture; }

    bool WantsPixels(uint64_t) const override { return false; }
    bool OnPicture(const inspect::PictureInfo& picture, const BYTE*) override
    {
        if (m_damagedPicture == 0 && picture.kind != inspect::PictureKind::Complete)
            m_damagedPicture = picture.number;
        return true;
    }

private:
    inspect::CaptureSplitter m_splitter;
    ULONGLONG m_damagedPicture = 0;
    BOOL m_bTold = FALSE;
};

// Times the reader's steps between two completions handed on, keeps the
// breakdown of the longest such gap, and adds each step up.
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
        const LONGLONG spent = Now() - start;
        m_spent[step] += spent;
        m_total[step] += spent;
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

    ReaderTimings Result() const { return {Ms(m_longest), Steps(m_atLongest), m_handedOn, Steps(m_total)}; }

private:
    static LONGLONG Now()
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return now.QuadPart;
    }
    double Ms(LONGLONG ticks) const { return ticks / m_ticksPerMs; }
    ReaderSteps Steps(const LONGLONG (&ticks)[STEPS]) const
    {
        return {Ms(ticks[WAITING]), Ms(ticks[POSTING]), Ms(ticks[RECORDING]), Ms(ticks[ISSUING])};
    }

    double m_ticksPerMs;
    LONGLONG m_last = 0;
    LONGLONG m_longest = 0;
    LONGLONG m_spent[STEPS] = {};
    LONGLONG m_atLongest[STEPS] = {};
    LONGLONG m_total[STEPS] = {};
    ULONGLONG m_handedOn = 0;
};

namespace {

HWND FindTargetWindow()
{
    CWinApp* app = AfxGetApp();
    CWnd* mainWnd = app ? app->GetMainWnd() : nullptr;
    return mainWnd ? mainWnd->GetSafeHwnd() : nullptr;
}

} // namespace

BOOL CImageDevice::PrepareCapture(DWORD* pError)
{
    if (m_pCapture)
        return TRUE;
    std::unique_ptr<CCaptureSession> capture(new (std::nothrow) CCaptureSession(*this));
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    if (!capture || !capture->Prepare(error)) {
        if (pError)
            *pError = error;
        return FALSE;
    }
    m_pCapture = std::move(capture);
    return TRUE;
}

BOOL CImageDevice::StartCapture()
{
    if (IsCapturing())
        return TRUE;
    m_hwndTarget = FindTargetWindow();
    DWORD error = ERROR_SUCCESS;
    if (!PrepareCapture(&error)) {
        ReportProblem({CaptureProblem::NOT_STARTED, error, 0, FALSE, 0});
        Write(CMD_STOP_STREAM, STOP_STREAM_LENGTH); // the start sequence began the stream
        return FALSE;
    }
    m_pCapture->Start(m_hwndTarget, m_pChunkQueue);
    return TRUE;
}

BOOL CImageDevice::IsCapturing() const
{
    return m_pCapture && m_pCapture->HasStarted();
}

void CImageDevice::StopCapture(DWORD drainMs)
{
    if (!m_pCapture)
        return;
    m_pCapture->Stop(GetTickCount64() + drainMs);
    m_readerTimings = m_pCapture->Timings();
    m_pCapture.reset();
}

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

CCaptureSession::CCaptureSession(CImageDevice& device)
    : m_device(device), m_startEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_stopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_doneEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

CCaptureSession::~CCaptureSession()
{
    if (m_hThread)
        CloseHandle(m_hThread);
}

// The ring is made here, on the UI thread, so that a capture that cannot
// read is known before the button says it runs.
BOOL CCaptureSession::Prepare(DWORD& error)
{
    m_pRing.reset(new (std::nothrow) CReadRing);
    m_pLossWatch.reset(new (std::nothrow) CLossWatch);
    if (!m_pRing || !m_pLossWatch || !m_startEvent.IsValid() || !m_stopEvent.IsValid() || !m_doneEvent.IsValid()) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    if (!m_pRing->Create()) {
        error = ParkedRequests() >= MAX_PARKED_REQUESTS ? ERROR_BUSY : ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    m_hThread = CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr);
    if (!m_hThread) {
        error = GetLastError();
        return FALSE;
    }
    // The device drops what its buffer cannot hold: the reader must get the
    // processor back promptly whenever a read completes.
    SetThreadPriority(m_hThread, THREAD_PRIORITY_HIGHEST);
    return TRUE;
}

void CCaptureSession::Start(HWND hwndTarget, CChunkQueue* pQueue)
{
    m_hwndTarget = hwndTarget;
    m_pQueue = pQueue;
    m_lastByteMs = GetTickCount64();
    m_bStarted = TRUE;
    SetEvent(m_startEvent.Get());
}

// FALSE when stopped first: the reader then ends without a trace.
BOOL CCaptureSession::WaitForStart()
{
    HANDLE events[2] = {m_startEvent.Get(), m_stopEvent.Get()};
    return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0;
}

// Waits for the reader's work, not for its thread's end: on Windows a
// thread ends only once its requests have completed, and the I/O manager
// waits up to five minutes for a driver that ignores their cancellation.
// The reader touches nothing of this object once it has said it is done;
// its work is bounded (cancellation grace, transfer time-outs, the drain
// deadline).
void CCaptureSession::Stop(ULONGLONG deadlineMs)
{
    m_drainDeadlineMs.store(deadlineMs);
    m_bStop.store(1);
    SetEvent(m_stopEvent.Get());
    if (!m_hThread)
        return;
    WaitForSingleObject(m_doneEvent.Get(), INFINITE);
    WaitForSingleObject(m_hThread, READER_EXIT_GRACE_MS);
}

DWORD WINAPI CCaptureSession::ThreadProc(LPVOID param)
{
    auto* capture = static_cast<CCaptureSession*>(param);
    capture->Run();
    SetEvent(capture->m_doneEvent.Get()); // the last use of the capture
    return 1;
}

void CCaptureSession::Run()
{
    if (!WaitForStart())
        return;
    CReaderClock clock;
    m_pClock = &clock;
    while (m_bStop.load() == 0) {
        HANDLE hDevice = INVALID_HANDLE_VALUE;
        if (!m_device.AcquireLinkLease(hDevice)) {
            OpenFileOnce();
            CheckSilence();
            WaitForStopOrLink(std::min(WaitLimit(), FAILED_READ_PAUSE_MS));
            continue;
        }
        ReadLink(hDevice);
        m_device.ReleaseLinkLease();
    }
    // Stop-stream first: the device is quiet however long the disk takes.
    m_device.Write(CMD_STOP_STREAM, STOP_STREAM_LENGTH);
    OpenFileOnce();
    FinishFile();
    m_timings = clock.Result();
    m_pClock = nullptr;
}

void CCaptureSession::ReadLink(HANDLE hDevice)
{
    CReadRing& ring = *m_pRing;
    m_bProbing = FALSE; // a link opened anew starts with a clean record
    auto deliver = [this](const BYTE* bytes, DWORD count) { Deliver(bytes, count); };
    while (!MustLeaveLink()) {
        m_pClock->Time(CReaderClock::ISSUING, [&] { ring.IssueIdle(hDevice, m_bProbing ? 1 : ring.Depth()); });
        OpenFileOnce();
        if (!ring.Oldest()) { // every request parked, and the parking full; or a busy driver
            WaitForStopOrLink(std::min(WaitLimit(), FAILED_READ_PAUSE_MS));
            CheckSilence();
            continue;
        }
        if (!ring.OldestHasCompleted()) {
            const DWORD limitMs = WaitLimit();
            m_pClock->Time(CReaderClock::WAITING,
                           [&] { ring.WaitForOldest(m_stopEvent.Get(), m_device.LinkEvent(), limitMs); });
            CheckSilence();
            continue;
        }
        const BYTE* bytes = nullptr;
        DWORD count = 0;
        DWORD error = ERROR_SUCCESS;
        // A read that succeeds with 0 bytes (a transfer ended by a
        // zero-length packet) is not a failure either.
        const BOOL succeeded = ring.TakeOldest(hDevice, bytes, count, error);
        Deliver(bytes, count);
        // A transfer error is issued again at once, with the other reads
        // still queued, so the device never goes without one; so is a busy
        // refusal that came as a completion. A device gone away fails
        // every read at once: once nothing has come for a while, pause
        // rather than spin, and ask with one read at a time.
        if (!succeeded && error != ERROR_BUSY) {
            m_lastError = error;
            if (GetTickCount64() - m_lastByteMs >= PROBE_AFTER_MS) {
                m_bProbing = TRUE;
                ring.CancelAndFinish(hDevice, deliver);
                WaitForStopOrLink(FAILED_READ_PAUSE_MS);
            }
        }
        CheckSilence();
    }
    ring.CancelAndFinish(hDevice, deliver);
}

void CCaptureSession::Deliver(const BYTE* bytes, DWORD count)
{
    if (count == 0)
        return;
    m_lastByteMs = GetTickCount64();
    m_bProbing = FALSE;
    if (m_pQueue) {
        m_pClock->Time(CReaderClock::POSTING, [&] {
            for (DWORD at = 0; at < count; at += CHUNK_SIZE)
                m_pQueue->Post(m_hwndTarget, bytes + at, std::min<DWORD>(count - at, CHUNK_SIZE));
        });
    }
    m_pClock->Time(CReaderClock::RECORDING, [&] {
        if (m_pFile)
            m_pFile->Append(bytes, count);
        if (m_pLossWatch->Feed(bytes, count))
            m_device.ReportProblem({CaptureProblem::BYTES_LOST, 0, FileBytes(), IsRecording(),
                                    m_pLossWatch->DamagedPicture()});
    });
    m_pClock->HandedOn();
}

// Told once per capture; the reader keeps asking, so a device that comes
// back is recorded again.
void CCaptureSession::CheckSilence()
{
    if (m_bToldSilent || GetTickCount64() - m_lastByteMs < SILENCE_TOLD_MS)
        return;
    m_bToldSilent = TRUE;
    m_device.ReportProblem({CaptureProblem::DEVICE_NOT_ANSWERING, m_lastError, FileBytes(), IsRecording(), 0});
}

// The stream began with the start command: the reads go out first, since
// the device's buffer is all it has until they are queued, and the file is
// made while the bus fills them.
void CCaptureSession::OpenFileOnce()
{
    if (m_bFileOpened)
        return;
    m_bFileOpened = TRUE;
    m_pFile = CreateCaptureFile();
}

// A writer whose write does not even return once cancelled is still used
// by its thread: it is kept, for the rest of the process.
void CCaptureSession::FinishFile()
{
    if (m_pFile && !m_pFile->Finish(m_drainDeadlineMs.load()))
        m_pFile.release();
    m_pFile.reset();
}

DWORD CCaptureSession::WaitLimit() const
{
    const ULONGLONG silent = GetTickCount64() - m_lastByteMs;
    DWORD limit = INFINITE;
    if (!m_bToldSilent)
        limit = silent >= SILENCE_TOLD_MS ? 0 : static_cast<DWORD>(SILENCE_TOLD_MS - silent);
    // A stream that idles still reaches the file within the writer's
    // catch-up time.
    if (m_pFile && m_pFile->CatchUp())
        limit = std::min(limit, m_pFile->NextCatchUpMs());
    return limit;
}

BOOL CCaptureSession::MustLeaveLink() const
{
    return m_bStop.load() != 0 || m_device.IsClosing();
}

void CCaptureSession::WaitForStopOrLink(DWORD milliseconds)
{
    HANDLE events[2] = {m_stopEvent.Get(), m_device.LinkEvent()};
    if (events[1])
        WaitForMultipleObjects(2, events, FALSE, milliseconds);
    else
        WaitForSingleObject(events[0], milliseconds);
}

// Recreated at every start; raw stream bytes, nothing added. A file that
// cannot be created leaves the capture running, unrecorded, and the
// operator is told.
std::unique_ptr<CCaptureWriter> CCaptureSession::CreateCaptureFile()
{
    HANDLE hFile = CreateFileA(CAPTURE_FILE_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        m_device.ReportProblem({CaptureProblem::FILE_NOT_CREATED, GetLastError(), 0, FALSE, 0});
        return nullptr;
    }
    std::unique_ptr<CCaptureWriter> writer(new (std::nothrow) CCaptureWriter(hFile, OnRecordingFailed, this));
    if (!writer) {
        CloseHandle(hFile);
        m_device.ReportProblem({CaptureProblem::RECORDING_FAILED, ERROR_NOT_ENOUGH_MEMORY, 0, FALSE, 0});
    }
    return writer;
}

void CCaptureSession::OnRecordingFailed(void* context, const RecordingFailure& failure)
{
    static_cast<CCaptureSession*>(context)->m_device.ReportProblem(
        {CaptureProblem::RECORDING_FAILED, failure.error, failure.fileBytes, FALSE, 0});
}

ULONGLONG CCaptureSession::FileBytes() const
{
    return m_pFile ? m_pFile->BytesRecorded() : 0;
}

BOOL CCaptureSession::IsRecording() const
{
    return m_pFile && !m_pFile->HasFailed();
}

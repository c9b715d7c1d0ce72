// Prints, in one run on the same window:
// - chunks per second painted the 16-pixels-per-byte way (on the screen)
//   and the frame painter's way (off the screen), with drawing calls per
//   chunk for each, and what showing one painted picture costs;
// - the platform's ceiling: a bare loop of reads on the sensor streaming
//   flat out, with one, four and as many requests queued as the capture
//   reader keeps, of one chunk each and of as many as the reader asks for;
// - with the sensor streaming flat out for a while (60 s unless a number
//   of seconds is given), bytes per second read, recorded and painted end
//   to end as a share of the ceiling at the reader's depth (measured for as
//   long, in alternate rounds, each round's figures too), CPU, memory over
//   the run, and the longest gap between two reads the reader handed on,
//   step by step.
// With "e2e": only the end to end figures.
// With "rates": the highest rate, from the bus rate down in steps of 10
// pictures/s, at which the sensor drops nothing: on a quiet machine, with
// one core kept busy, and with every second read empty; then what the
// sensor drops at the bus rate over long runs, on a busy machine, with a
// faulty or small sensor, and just over the bus rate, each beside a bare
// loop that keeps as many reads, as long, queued as the reader.
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "afx/afxwin.h"
#include "bench/bench_support.h"
#include "device/chunk_notice.h"
#include "device/image_device.h"
#include "display/frame_painter.h"
#include "display/live_picture.h"
#include "simsensor/sim_pattern.h"
#include "tools/stopwatch.h"

using stopwatch::ProcessCpuMs;

namespace {

constexpr double PAINTER_RUN_MS = 2000;
constexpr double CEILING_RUN_MS = 3000;
constexpr int END_TO_END_ROUNDS = 5;
constexpr int DEFAULT_STREAM_SECONDS = 60;
constexpr int DEFAULT_STEP_SECONDS = 20;
const char CAPTURE_FILE[] = "C:\\1.txt";
const char SENSOR_PATH[] = "\\\\?\\root#imagedev#0000#{1b65bedd-1d6a-11d6-807d-82b3dab6c625}";
constexpr double BUS_BYTES_PER_SECOND = SIM_BUS_PACKETS_PER_FRAME * SIM_BUS_PACKET_BYTES * 1000.0;
// The most whole pictures a second the bus carries, and one more, which it
// cannot: a sensor at that rate overflows whatever the host does.
constexpr DWORD BUS_RATE_PICTURES = SIM_BUS_RATE_PICTURES;
constexpr DWORD OVER_BUS_RATE_PICTURES = SIM_BUS_RATE_PICTURES + 1;
// The bare loop keeps as many reads, as long, queued as the capture reader.
constexpr int BARE_QUEUED_READS = static_cast<int>(RING_SLOTS);
constexpr DWORD READ_LENGTH = static_cast<DWORD>(READ_BYTES);
constexpr int FEW_QUEUED_READS = 4;

constexpr int PICTURE_ID = 1000;
constexpr double CHUNKS_PER_PICTURE = double(SIM_MARKER_BYTES + SIM_PICTURE_BYTES) / CHUNK_SIZE;

// Stands in for the main window: a window whose child, control 1000, the
// live picture routes, as it routes the main window's picture control.
class CBenchWindow {
public:
    CBenchWindow()
    {
        m_main.m_hWnd = CreateWindowExA(0, "STATIC", "bench", WS_POPUP | WS_VISIBLE, 0, 0, 512, 384, nullptr,
                                        nullptr, nullptr, nullptr);
        m_hControl = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 0, 0, 512, 384, m_main.m_hWnd,
                                     reinterpret_cast<HMENU>(PICTURE_ID), nullptr, nullptr);
        m_picture.SubclassDlgItem(PICTURE_ID, &m_main);
    }
    ~CBenchWindow()
    {
        m_picture.UnsubclassWindow();
        DestroyWindow(m_main.m_hWnd);
        m_main.m_hWnd = nullptr;
    }
    CBenchWindow(const CBenchWindow&) = delete;
    CBenchWindow& operator=(const CBenchWindow&) = delete;

    CWnd& Main() { return m_main; }
    HWND Control() const { return m_hControl; }
    CLivePicture& Picture() { return m_picture; }

private:
    CWnd m_main;
    HWND m_hControl = nullptr;
    CLivePicture m_picture;
};

// The straightforward painter: one SetPixel per surface pixel.
void PaintChunkPerPixel(HWND hwnd, const BYTE* chunk, UINT count, WORD& nRow, WORD& nCol)
{
    HDC hdc = GetDC(hwnd);
    for (UINT o = 0; o < count;) {
        if (o + FRAME_MARKER_LENGTH <= count && IsFrameMarker(chunk + o)) {
            nRow = nCol = 0;
            o += FRAME_MARKER_LENGTH;
            continue;
        }
        const BYTE v = chunk[o++];
        for (int i = 0; i < PICTURE_SCALE; ++i)
            for (int j = 0; j < PICTURE_SCALE; ++j)
                SetPixel(hdc, PICTURE_SCALE * nCol + i, PICTURE_SCALE * nRow + j, RGB(v, v, v));
        if (++nCol == PICTURE_WIDTH) {
            nCol = 0;
            if (++nRow == PICTURE_HEIGHT)
                nRow = 0;
        }
    }
    ReleaseDC(hwnd, hdc);
}

std::vector<BYTE> TestStream(int pictures)
{
    std::vector<BYTE> stream;
    for (int frame = 0; frame < pictures; ++frame) {
        stream.insert(stream.end(), FRAME_MARKER, FRAME_MARKER + FRAME_MARKER_LENGTH);
        for (unsigned y = 0; y < PICTURE_HEIGHT; ++y)
            for (unsigned x = 0; x < PICTURE_WIDTH; ++x)
                stream.push_back(SimPatternPixel(frame, x, y, 10, 10));
    }
    return stream;
}

// Calls paint(chunk) on 512-byte chunks of the stream, round and round, for
// PAINTER_RUN_MS; returns chunks per second.
template <typename Paint>
double ChunksPerSecond(const std::vector<BYTE>& stream, Paint paint)
{
    size_t offset = 0;
    long chunks = 0;
    const double start = bench::NowMs();
    while (bench::NowMs() - start < PAINTER_RUN_MS) {
        if (offset + CHUNK_SIZE > stream.size())
            offset = 0;
        paint(stream.data() + offset);
        offset += CHUNK_SIZE;
        ++chunks;
    }
    return chunks * 1000.0 / (bench::NowMs() - start);
}

// Shown pictures per second: the control repainted whole, as WM_PAINT does.
double PicturesPerSecond(HWND hwndControl)
{
    long pictures = 0;
    const double start = bench::NowMs();
    while (bench::NowMs() - start < PAINTER_RUN_MS) {
        RedrawWindow(hwndControl, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        ++pictures;
    }
    return pictures * 1000.0 / (bench::NowMs() - start);
}

void BenchPainters(CBenchWindow& window)
{
    const std::vector<BYTE> stream = TestStream(8);
    WORD row = 0, col = 0;
    const double slow = ChunksPerSecond(stream, [&](const BYTE* chunk) {
        PaintChunkPerPixel(window.Control(), chunk, CHUNK_SIZE, row, col);
    });
    CFramePainter painter;
    const double fast = ChunksPerSecond(stream, [&](const BYTE* chunk) { painter.PaintChunk(chunk, CHUNK_SIZE); });
    std::printf("painter, 16 pixels per byte: %8.0f chunks/s, %6.0f drawing calls per chunk\n", slow,
                16.0 * CHUNK_SIZE);
    std::printf("painter, off the screen:     %8.0f chunks/s, %6.1f drawing calls per chunk (%.0fx faster)\n", fast,
                0.0, fast / slow);

    CLivePicture& picture = window.Picture();
    picture.Restart(window.Main().m_hWnd);
    // A whole picture, closed by the next marker, is shown.
    for (size_t o = 0; o < CHUNKS_PER_PICTURE * 2 * CHUNK_SIZE && o + CHUNK_SIZE <= stream.size(); o += CHUNK_SIZE)
        picture.Queue().Post(window.Main().m_hWnd, stream.data() + o, CHUNK_SIZE);
    picture.PaintQueuedChunks(0);
    const double shown = PicturesPerSecond(window.Control());
    const double perChunkUs = 1e6 / fast + 1e6 / shown / CHUNKS_PER_PICTURE;
    std::printf("shown picture, 4x, one blit: %8.0f pictures/s, %6.0f us each; painted and shown, a chunk costs "
                "%.1f us (%.0f chunks a picture)\n",
                shown, 1e6 / shown, perChunkUs, CHUNKS_PER_PICTURE);
    picture.Restart(window.Main().m_hWnd);
}

struct Memory {
    double workingSetKb;
    double privateKb;
};

Memory CurrentMemory()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return {counters.WorkingSetSize / 1024.0, counters.PagefileUsage / 1024.0};
}

LONGLONG FileSize(const char* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// What the sensor does besides streaming: its faults and its buffer.
struct SensorCondition {
    DWORD faults = 0;
    DWORD flakyEvery = 0; // for SIM_FAULT_FLAKY_READS
    DWORD fifoBytes = SIM_FIFO_BYTES;
};

enum class Reader { BARE_LOOP, CAPTURE };

// Puts the sensor at `rate` under `condition` and brings it to streaming
// through `device`; the log and counters then start afresh. The faults
// come only once it streams, so that the handshake is not spoilt. For a
// capture, as the main window does, its reader is made ready before the
// start sequence.
bool StartSensorStream(sim::Control& control, CImageDevice& device, DWORD rate, Reader reader,
                       const SensorCondition& condition = SensorCondition())
{
    control.ResetState(0);
    sim::SetInterfacePresent(0, TRUE);
    control.SetRate(0, rate);
    control.SetFifoSize(0, condition.fifoBytes);
    if (!device.Connect() || (reader == Reader::CAPTURE && !device.PrepareCapture()) ||
        !device.StartImaging(DEFAULT_SENSOR_SETTINGS)) {
        std::fprintf(stderr, "the simulated sensor did not start streaming\n");
        return false;
    }
    control.SetFaults(0, condition.faults, 0, 0, condition.flakyEvery);
    control.ClearLog(0);
    return true;
}

// A bare loop of reads of `readBytes` with `inFlight` requests queued, on
// a handle of its own: what the platform and the sensor allow at most, in
// bytes per second. `atStop` runs the moment it stops reading.
template <typename AtStop>
double BareBytesPerSecond(int inFlight, DWORD readBytes, double runMs, AtStop atStop)
{
    HANDLE hDevice = CreateFileA(SENSOR_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (hDevice == INVALID_HANDLE_VALUE)
        return 0;
    struct Request {
        OVERLAPPED overlapped = {};
        std::vector<BYTE> buffer;
    };
    std::vector<Request> requests(inFlight);
    auto issue = [&](Request& request) {
        const HANDLE event = request.overlapped.hEvent;
        request.overlapped = OVERLAPPED();
        request.overlapped.hEvent = event;
        ReadFile(hDevice, request.buffer.data(), readBytes, nullptr, &request.overlapped);
    };
    for (Request& request : requests) {
        request.buffer.resize(readBytes);
        request.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        issue(request);
    }
    double bytes = 0;
    size_t oldest = 0;
    const double start = bench::NowMs();
    while (bench::NowMs() - start < runMs) {
        Request& request = requests[oldest];
        DWORD count = 0;
        if (GetOverlappedResult(hDevice, &request.overlapped, &count, TRUE))
            bytes += count;
        issue(request);
        oldest = (oldest + 1) % requests.size();
    }
    const double elapsed = bench::NowMs() - start;
    atStop();
    CancelIo(hDevice);
    for (Request& request : requests) {
        DWORD count = 0;
        GetOverlappedResult(hDevice, &request.overlapped, &count, TRUE);
        CloseHandle(request.overlapped.hEvent);
    }
    CloseHandle(hDevice);
    return bytes * 1000.0 / elapsed;
}

// The bare loop flat out with `inFlight` requests of `readBytes` queued,
// for `runMs`, on a stream of its own; in bytes per second.
double BareCeiling(int inFlight, DWORD readBytes, double runMs)
{
    sim::Control control;
    CImageDevice device;
    if (!StartSensorStream(control, device, SIM_RATE_FLAT_OUT, Reader::BARE_LOOP))
        return 0;
    const double bytes = BareBytesPerSecond(inFlight, readBytes, runMs, [] {});
    control.ResetState(0);
    return bytes;
}

void BenchCeiling(double runMs)
{
    std::printf("platform ceiling, bare reads flat out on a second handle (the bus carries %.0f B/s):\n",
                BUS_BYTES_PER_SECOND);
    for (DWORD readBytes : {DWORD(CHUNK_SIZE), READ_LENGTH}) {
        for (int inFlight : {1, FEW_QUEUED_READS, BARE_QUEUED_READS}) {
            const double bytes = BareCeiling(inFlight, readBytes, runMs);
            std::printf("  %4lu-byte reads, %3d in flight: %8.0f reads/s, %.2f MB/s, %.2f x the bus rate\n",
                        static_cast<unsigned long>(readBytes), inFlight, bytes / readBytes, bytes / 1e6,
                        bytes / BUS_BYTES_PER_SECOND);
        }
    }
}

// The main window's side: at an announcement, and then every 10 ms while
// chunks keep coming, paints the queue off the screen, and the control
// repaints when there is a new picture.
void DrainAndPaint(CBenchWindow& window)
{
    MSG msg;
    while (PeekMessageA(&msg, window.Main().m_hWnd, WM_CHUNK_READY, WM_CHUNK_READY, PM_REMOVE)) {
    }
    window.Picture().PaintQueuedChunks(GetTickCount64());
    UpdateWindow(window.Control());
}

// Runs a capture for `seconds` with the window's side done on this thread.
// Returns the pictures shown; `sample` is called about once a second, and
// `atStop` the moment the capture is to stop. The picture was restarted
// when the last one ended, before the start sequence, as the main window
// does it.
template <typename Sample, typename AtStop>
DWORD RunCapture(CImageDevice& device, CBenchWindow& window, double seconds, Sample sample, AtStop atStop)
{
    CLivePicture& picture = window.Picture();
    const DWORD shownBefore = picture.Painter().PicturesShown();
    device.SetChunkQueue(&picture.Queue());
    device.StartCapture();
    const double start = bench::NowMs();
    double nextSample = start + 1000;
    while (bench::NowMs() - start < seconds * 1000.0) {
        DrainAndPaint(window);
        if (bench::NowMs() >= nextSample) {
            sample();
            nextSample += 1000;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, USER_TIMER_MINIMUM, QS_POSTMESSAGE);
    }
    atStop();
    device.StopCapture();
    picture.Restart(window.Main().m_hWnd);
    return picture.Painter().PicturesShown() - shownBefore;
}

void PrintLongestGap(const ReaderTimings& timings)
{
    std::printf("  longest gap between two completions handed on: %.2f ms (%.0f chunks per such gap at the bus rate);"
                " in it the reader was waiting for the device %.2f ms, posting %.2f ms, recording %.2f ms,"
                " issuing reads %.2f ms\n",
                timings.longestGapMs, timings.longestGapMs * BUS_BYTES_PER_SECOND / 1000 / CHUNK_SIZE,
                timings.inLongestGap.waitingMs, timings.inLongestGap.postingMs, timings.inLongestGap.recordingMs,
                timings.inLongestGap.issuingMs);
}

void AddSteps(ReaderSteps& sum, const ReaderSteps& more)
{
    sum.waitingMs += more.waitingMs;
    sum.postingMs += more.postingMs;
    sum.recordingMs += more.recordingMs;
    sum.issuingMs += more.issuingMs;
}

// What the end to end rounds add up to.
struct EndToEnd {
    double ms = 0;
    double cpuMs = 0;
    ULONGLONG bytesRead = 0;
    ULONGLONG bytesRecorded = 0;
    ULONGLONG bytesDelivered = 0; // the queued reads too, once cancelled
    ULONGLONG pictures = 0;
    DWORD shown = 0;
    Memory first = {0, 0};
    Memory peak = {0, 0};
    ReaderTimings longest = {};
    ReaderSteps steps = {}; // of every round
    double bareBytes = 0;
    double bareMs = 0;
};

// One capture flat out for `seconds`, added to `total`; returns what it
// read, in bytes per second.
double EndToEndRound(CBenchWindow& window, double seconds, EndToEnd& total)
{
    sim::Control control;
    CImageDevice device;
    if (!StartSensorStream(control, device, SIM_RATE_FLAT_OUT, Reader::CAPTURE))
        return 0;
    // Like the bare loop, a round is timed and counted up to the moment
    // reading stops; the stop itself (cancelling the queued reads, the
    // file's last blocks) is not reading.
    const double start = bench::NowMs();
    const double cpuStart = ProcessCpuMs();
    double readingMs = 0;
    SIM_STATUS status = {};
    auto sampleMemory = [&] {
        const Memory now = CurrentMemory();
        if (total.first.privateKb == 0)
            total.first = now;
        total.peak.workingSetKb = std::max(total.peak.workingSetKb, now.workingSetKb);
        total.peak.privateKb = std::max(total.peak.privateKb, now.privateKb);
    };
    total.shown += RunCapture(device, window, seconds, sampleMemory, [&] {
        sampleMemory(); // rounds shorter than a second are sampled too
        readingMs = bench::NowMs() - start;
        total.cpuMs += ProcessCpuMs() - cpuStart;
        control.GetStatus(0, status);
    });
    total.ms += readingMs;
    total.bytesRead += status.bytesDelivered;
    total.bytesRecorded += FileSize(CAPTURE_FILE);
    SIM_STATUS atEnd = {};
    control.GetStatus(0, atEnd);
    total.bytesDelivered += atEnd.bytesDelivered;
    total.pictures += status.picturesStarted;
    const ReaderTimings timings = device.GetReaderTimings();
    if (timings.longestGapMs > total.longest.longestGapMs)
        total.longest = timings;
    AddSteps(total.steps, timings.total);
    control.ResetState(0);
    return readingMs > 0 ? status.bytesDelivered * 1000.0 / readingMs : 0;
}

// The machine's pace drifts, and a flat-out stream under Wine swings
// between two speeds from one run to the next: the captures are cut in
// rounds, each after a bare loop at the reader's depth run for as long,
// and the two are compared over all rounds.
void BenchEndToEnd(CBenchWindow& window, int seconds)
{
    const double roundSeconds = double(seconds) / END_TO_END_ROUNDS;
    std::printf("end to end, flat out for %d s in %d rounds (read, recorded, painted and shown), each after as long of "
                "the bare loop at the reader's depth:\n",
                seconds, END_TO_END_ROUNDS);
    EndToEnd total;
    double lowest = 0;
    double highest = 0;
    for (int round = 0; round < END_TO_END_ROUNDS; ++round) {
        const double bare = BareCeiling(BARE_QUEUED_READS, READ_LENGTH, roundSeconds * 1000);
        total.bareBytes += bare * roundSeconds;
        total.bareMs += roundSeconds * 1000;
        const double read = EndToEndRound(window, roundSeconds, total);
        const double ratio = bare > 0 ? read / bare : 0.0;
        lowest = round == 0 ? ratio : std::min(lowest, ratio);
        highest = std::max(highest, ratio);
        std::printf("  round %d: bare loop %.2f MB/s, reader %.2f MB/s: %.2f x\n", round + 1, bare / 1e6, read / 1e6,
                    ratio);
    }
    const double elapsed = total.ms / 1000.0;
    const double read = total.bytesRead / elapsed;
    const double bare = total.bareBytes / (total.bareMs / 1000.0);
    const Memory last = CurrentMemory();
    std::printf("  read     %8.0f chunks/s (%.2f MB/s); the bare loop %.2f MB/s: %.2f x that (rounds %.2f to %.2f x)\n",
                read / CHUNK_SIZE, read / 1e6, bare / 1e6, bare > 0 ? read / bare : 0.0, lowest, highest);
    std::printf("  recorded %llu of the %llu bytes delivered\n", total.bytesRecorded, total.bytesDelivered);
    std::printf("  shown    %8.0f pictures/s of the %.0f the stream brought\n", total.shown / elapsed,
                total.pictures / elapsed);
    std::printf("  CPU: %.0f%% of one core for reading, recording and painting\n", total.cpuMs / (elapsed * 10.0));
    std::printf("  memory: private %.0f KB after 1 s, %.0f KB at the end, peak %.0f KB; peak working set %.0f KB\n",
                total.first.privateKb, last.privateKb, total.peak.privateKb, total.peak.workingSetKb);
    PrintLongestGap(total.longest);
    // What bounds the reader: where ReadFile's own time dominates, the
    // platform's round trips set the pace, not the reader's work.
    const double percent = 100.0 / total.ms;
    std::printf("  the reader's time: waiting for the device %.1f%%, posting %.1f%%, recording %.1f%%, issuing reads "
                "%.1f%%\n",
                total.steps.waitingMs * percent, total.steps.postingMs * percent, total.steps.recordingMs * percent,
                total.steps.issuingMs * percent);
}

// Keeps one core busy for as long as it lives.
class CBusyCore {
public:
    CBusyCore() : m_stop(false), m_thread([this] {
        volatile unsigned long spin = 0;
        while (!m_stop.load(std::memory_order_relaxed))
            ++spin;
    })
    {
    }
    ~CBusyCore()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop;
    std::thread m_thread;
};

// The sensor's counters the moment `read` stopped reading it, after
// `seconds` at `rate` under `condition`; overflow ~0 if it did not stream.
template <typename Read>
SIM_STATUS StatusAfter(DWORD rate, const SensorCondition& condition, Reader reader, Read read)
{
    sim::Control control;
    CImageDevice device;
    SIM_STATUS status = {};
    status.overflowBytes = ~0ull;
    if (!StartSensorStream(control, device, rate, reader, condition))
        return status;
    read(device, [&] { control.GetStatus(0, status); });
    control.ResetState(0);
    return status;
}

// During a capture of `seconds` at `rate`; `timings` are the reader's.
SIM_STATUS CaptureStatusAt(CBenchWindow& window, DWORD rate, const SensorCondition& condition, double seconds,
                           ReaderTimings* timings = nullptr)
{
    return StatusAfter(rate, condition, Reader::CAPTURE, [&](CImageDevice& device, auto atStop) {
        RunCapture(device, window, seconds, [] {}, atStop);
        if (timings)
            *timings = device.GetReaderTimings();
    });
}

// While only the bare loop read it, as deep as the reader: whether the
// platform itself keeps up.
SIM_STATUS BareLoopStatusAt(DWORD rate, const SensorCondition& condition, double seconds)
{
    return StatusAfter(rate, condition, Reader::BARE_LOOP, [&](CImageDevice&, auto atStop) {
        BareBytesPerSecond(BARE_QUEUED_READS, READ_LENGTH, seconds * 1000, atStop);
    });
}

// From the bus rate down in steps of 10 pictures/s, the first rate at
// which the sensor drops nothing; first, for reference, what a bare loop
// drops at the bus rate under the same condition.
void BenchHighestRate(CBenchWindow& window, const char* title, const SensorCondition& condition, double seconds)
{
    std::printf("highest rate with nothing dropped, %s (%.0f s a step):\n", title, seconds);
    std::printf("  bare loop, %d x %lu B queued, %lu pictures/s: %llu bytes dropped\n", BARE_QUEUED_READS,
                static_cast<unsigned long>(READ_LENGTH), static_cast<unsigned long>(BUS_RATE_PICTURES),
                BareLoopStatusAt(BUS_RATE_PICTURES, condition, seconds).overflowBytes);
    for (DWORD rate = BUS_RATE_PICTURES; rate >= 10; rate = rate == BUS_RATE_PICTURES ? 90 : rate - 10) {
        const ULONGLONG dropped = CaptureStatusAt(window, rate, condition, seconds).overflowBytes;
        std::printf("  %3lu pictures/s: %llu bytes dropped\n", static_cast<unsigned long>(rate), dropped);
        if (dropped == 0) {
            std::printf("  => %lu pictures/s (%.0f B/s)\n", static_cast<unsigned long>(rate),
                        rate * double(SIM_MARKER_BYTES + SIM_PICTURE_BYTES));
            return;
        }
    }
    std::printf("  => none down to 10 pictures/s\n");
}

void BenchHighestRates(CBenchWindow& window, double seconds)
{
    BenchHighestRate(window, "quiet", SensorCondition(), seconds);
    {
        CBusyCore busy;
        BenchHighestRate(window, "one core kept busy", SensorCondition(), seconds);
    }
    SensorCondition emptyReads;
    emptyReads.faults = SIM_FAULT_ZERO_READS;
    BenchHighestRate(window, "every second read empty", emptyReads, seconds);
}

constexpr DWORD FLAKY_ONE_IN = 50;
constexpr DWORD SMALL_FIFO_BYTES = 8 * 1024;

// A row at a fixed rate (the bus rate, or just over it): a long run, a
// busy machine, or a sensor that fails or holds less.
struct BusRateRow {
    const char* name; // to run it alone
    const char* title;
    DWORD rate;
    SensorCondition condition;
    double seconds;
    bool busyCore;
};

const BusRateRow BUS_RATE_ROWS[] = {
    {"flaky", "one read in fifty fails, 30 s", BUS_RATE_PICTURES,
     {SIM_FAULT_FLAKY_READS, FLAKY_ONE_IN, SIM_FIFO_BYTES}, 30, false},
    {"long", "10 minutes", BUS_RATE_PICTURES, {}, 600, false},
    {"fifo", "8 KB sensor buffer, 60 s", BUS_RATE_PICTURES, {0, 0, SMALL_FIFO_BYTES}, 60, false},
    {"busy", "one core kept busy, 60 s", BUS_RATE_PICTURES, {}, 60, true},
    {"over", "more than the bus carries, 120 s", OVER_BUS_RATE_PICTURES, {}, 120, false},
};

void PrintRowFigures(const char* who, const SIM_STATUS& status)
{
    std::printf("  %-30s %llu bytes dropped at the sensor, %llu lost in %lu failed of %lu reads;"
                " %llu of %llu made delivered\n",
                who, status.overflowBytes, status.bytesLost, status.flakyReads, status.readRequests,
                status.bytesDelivered, status.bytesMade);
}

void BenchAtBusRate(CBenchWindow& window, const BusRateRow& row)
{
    std::printf("at %lu pictures/s (the bus carries %lu), %s:\n", static_cast<unsigned long>(row.rate),
                static_cast<unsigned long>(BUS_RATE_PICTURES), row.title);
    std::unique_ptr<CBusyCore> busy(row.busyCore ? new CBusyCore : nullptr);
    char bare[64];
    std::snprintf(bare, sizeof(bare), "bare loop, %d x %lu B queued:", BARE_QUEUED_READS,
                  static_cast<unsigned long>(READ_LENGTH));
    PrintRowFigures(bare, BareLoopStatusAt(row.rate, row.condition, row.seconds));
    ReaderTimings timings = {};
    PrintRowFigures("capture reader:", CaptureStatusAt(window, row.rate, row.condition, row.seconds, &timings));
    PrintLongestGap(timings);
}

// Every row, or only the one named: "highest" or a bus-rate row's name.
bool BenchRates(CBenchWindow& window, double stepSeconds, const char* only)
{
    bool known = !only || std::strcmp(only, "highest") == 0;
    if (known)
        BenchHighestRates(window, stepSeconds);
    for (const BusRateRow& row : BUS_RATE_ROWS) {
        if (!only || std::strcmp(only, row.name) == 0) {
            BenchAtBusRate(window, row);
            known = true;
        }
    }
    if (!known)
        std::fprintf(stderr, "no row '%s' (highest flaky long fifo busy over)\n", only);
    return known;
}

} // namespace

// capture_bench [seconds]              painters, ceiling, end to end (60 s by default)
// capture_bench rates [seconds [row]]  highest rate with nothing dropped (20 s a step), and
//                                      the fixed-rate rows; row: highest, flaky, long, fifo, busy or over alone
int main(int argc, char** argv)
{
    const bool rates = argc > 1 && std::strcmp(argv[1], "rates") == 0;
    const bool endToEndOnly = argc > 1 && std::strcmp(argv[1], "e2e") == 0;
    const int first = rates || endToEndOnly ? 2 : 1;
    const int seconds = argc > first ? std::atoi(argv[first]) : (rates ? DEFAULT_STEP_SECONDS : DEFAULT_STREAM_SECONDS);
    const char* onlyRow = rates && argc > 3 ? argv[3] : nullptr;
    if (!bench::StartSensor())
        return 1;

    CWinApp app;
    CBenchWindow window;
    app.m_pMainWnd = &window.Main();

    bool ok = true;
    if (rates) {
        ok = BenchRates(window, seconds, onlyRow);
    } else if (endToEndOnly) {
        BenchEndToEnd(window, seconds);
    } else {
        BenchPainters(window);
        BenchCeiling(CEILING_RUN_MS);
        BenchEndToEnd(window, seconds);
    }

    app.m_pMainWnd = nullptr;
    return ok ? 0 : 1;
}

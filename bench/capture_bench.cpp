// Prints, in one run on the same window:
// - chunks per second painted the 16-pixels-per-byte way and the frame
//   painter's way, with drawing calls per chunk for each;
// - with the simulated sensor streaming flat out for a while (60 s unless
//   a number of seconds is given), chunks per second read, recorded and
//   painted end to end, and the process's memory over the run;
// - the reader's throughput with and without zero-length reads.
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "afx/afxwin.h"
#include "bench/bench_support.h"
#include "device/chunk_notice.h"
#include "device/image_device.h"
#include "display/frame_painter.h"
#include "simsensor/sim_pattern.h"
#include "tools/stopwatch.h"

using stopwatch::ProcessCpuMs;

namespace {

constexpr double PAINTER_RUN_MS = 2000;
constexpr int DEFAULT_STREAM_SECONDS = 60;
const char CAPTURE_FILE[] = "C:\\1.txt";

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

// Drawing calls the frame painter makes for a chunk: one per run of pixels
// that ends at a row's end, a marker or the chunk's end.
int SegmentsOf(const BYTE* chunk, UINT count, WORD nCol)
{
    int segments = 0;
    bool open = false;
    for (UINT o = 0; o < count;) {
        if (o + FRAME_MARKER_LENGTH <= count && IsFrameMarker(chunk + o)) {
            segments += open;
            open = false;
            nCol = 0;
            o += FRAME_MARKER_LENGTH;
            continue;
        }
        open = true;
        ++o;
        if (++nCol == PICTURE_WIDTH) {
            nCol = 0;
            ++segments;
            open = false;
        }
    }
    return segments + open;
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

typedef void (*PaintFn)(HWND, const BYTE*, UINT, WORD&, WORD&);

double ChunksPerSecond(HWND hwnd, PaintFn paint, const std::vector<BYTE>& stream, double& callsPerChunk,
                       bool perPixel)
{
    WORD row = 0, col = 0;
    size_t offset = 0;
    long chunks = 0;
    double calls = 0;
    const double start = bench::NowMs();
    while (bench::NowMs() - start < PAINTER_RUN_MS) {
        if (offset + CHUNK_SIZE > stream.size())
            offset = 0;
        const BYTE* chunk = stream.data() + offset;
        calls += perPixel ? 16.0 * CHUNK_SIZE : SegmentsOf(chunk, CHUNK_SIZE, col);
        paint(hwnd, chunk, CHUNK_SIZE, row, col);
        offset += CHUNK_SIZE;
        ++chunks;
    }
    callsPerChunk = calls / chunks;
    return chunks * 1000.0 / (bench::NowMs() - start);
}

void BenchPainters(HWND hwnd)
{
    const std::vector<BYTE> stream = TestStream(8);
    double slowCalls = 0, fastCalls = 0;
    const double slow = ChunksPerSecond(hwnd, PaintChunkPerPixel, stream, slowCalls, true);
    const double fast = ChunksPerSecond(hwnd, PaintChunk, stream, fastCalls, false);
    std::printf("painter, 16 pixels per byte: %8.0f chunks/s, %6.0f drawing calls per chunk\n", slow, slowCalls);
    std::printf("painter, row runs:           %8.0f chunks/s, %6.1f drawing calls per chunk (%.0fx faster)\n", fast,
                fastCalls, fast / slow);
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


// How fast the device answers 512-byte reads from one thread doing nothing
// else, for comparison with the end-to-end run.
void BenchDeviceReads(CImageDevice& device)
{
    constexpr double RUN_MS = 3000;
    BYTE chunk[CHUNK_SIZE];
    long reads = 0;
    const double start = bench::NowMs();
    while (bench::NowMs() - start < RUN_MS)
        reads += device.Read(chunk, CHUNK_SIZE) > 0;
    std::printf("device alone: %8.0f reads of 512 bytes per second\n", reads * 1000.0 / (bench::NowMs() - start));
}

void BenchStream(HWND hwnd, int seconds)
{
    sim::Control control;
    control.ResetState(0);
    sim::SetInterfacePresent(0, TRUE);
    control.SetRate(0, SIM_RATE_FLAT_OUT);

    CImageDevice device;
    if (!device.Connect() || !device.StartImaging(DEFAULT_SENSOR_SETTINGS)) {
        std::fprintf(stderr, "the simulated sensor did not start streaming\n");
        return;
    }
    BenchDeviceReads(device);
    control.ClearLog(0);
    WORD row = 0, col = 0;
    long painted = 0;
    Memory peak = {0, 0}, first = {0, 0};

    device.StartCapture();
    const double start = bench::NowMs();
    const double cpuStart = ProcessCpuMs();
    double nextReport = start + 1000;
    std::printf("streaming flat out for %d s:\n", seconds);
    while (bench::NowMs() - start < seconds * 1000.0) {
        MSG msg;
        while (PeekMessageA(&msg, hwnd, WM_CHUNK_READY, WM_CHUNK_READY, PM_REMOVE)) {
            for (const ChunkNoticePtr& notice : TakeQueuedChunks()) {
                PaintChunk(hwnd, notice->bytes, notice->count, row, col);
                ++painted;
            }
        }
        if (bench::NowMs() >= nextReport) {
            const Memory now = CurrentMemory();
            if (first.privateKb == 0)
                first = now;
            peak.workingSetKb = std::max(peak.workingSetKb, now.workingSetKb);
            peak.privateKb = std::max(peak.privateKb, now.privateKb);
            nextReport += 1000;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_POSTMESSAGE);
    }
    device.StopCapture();
    const double elapsed = (bench::NowMs() - start) / 1000.0;
    const double cpuShare = (ProcessCpuMs() - cpuStart) / (elapsed * 10.0);
    painted += static_cast<long>(DiscardQueuedChunks(hwnd));

    SIM_STATUS status = {};
    control.GetStatus(0, status);
    const double read = status.bytesDelivered / double(CHUNK_SIZE) / elapsed;
    const double recorded = FileSize(CAPTURE_FILE) / double(CHUNK_SIZE) / elapsed;
    const Memory last = CurrentMemory();
    std::printf("  read     %8.0f chunks/s (%.2f MB/s)\n", read, read * CHUNK_SIZE / 1e6);
    std::printf("  recorded %8.0f chunks/s\n", recorded);
    std::printf("  painted  %8.0f chunks/s\n", painted / elapsed);
    std::printf("  CPU: %.0f%% of one core for reading, recording and painting\n", cpuShare);
    std::printf("  memory: private %.0f KB after 1 s, %.0f KB at the end, peak %.0f KB; peak working set %.0f KB\n",
                first.privateKb, last.privateKb, peak.privateKb, peak.workingSetKb);
    control.ResetState(0);
}

// Stream throughput with every second read completing empty (a transfer
// ended by a zero-length packet) against the same stream without, at the
// sensor's default rate and at the bus rate.
double ReaderThroughput(sim::Control& control, DWORD rate, DWORD faults, double seconds, DWORD& overflow)
{
    control.ResetState(0);
    control.SetRate(0, rate);
    CImageDevice device;
    if (!device.Connect() || !device.StartImaging(DEFAULT_SENSOR_SETTINGS))
        return 0;
    control.SetFaults(0, faults);
    control.ClearLog(0);
    const double start = bench::NowMs();
    device.StartCapture();
    Sleep(static_cast<DWORD>(seconds * 1000));
    device.StopCapture();
    const double elapsed = (bench::NowMs() - start) / 1000.0;
    SIM_STATUS status = {};
    control.GetStatus(0, status);
    overflow = status.overflowBytes;
    return status.bytesDelivered / elapsed / 1e6;
}

void BenchZeroLengthReads(int seconds)
{
    constexpr DWORD BUS_RATE_PICTURES = 99; // 99 x 12,294 bytes: about the bus's 1,216,000 B/s
    const double runSeconds = std::max(2, seconds / 6);
    sim::Control control;
    std::printf("zero-length reads (every second read empty), %.0f s per figure:\n", runSeconds);
    for (DWORD rate : {static_cast<DWORD>(SIM_RATE_DEFAULT), BUS_RATE_PICTURES}) {
        DWORD overflowNormal = 0, overflowZero = 0;
        const double normal = ReaderThroughput(control, rate, 0, runSeconds, overflowNormal);
        const double zero = ReaderThroughput(control, rate, SIM_FAULT_ZERO_READS, runSeconds, overflowZero);
        std::printf("  %3lu pictures/s: normal %.3f MB/s (%lu bytes lost), with empty reads %.3f MB/s (%lu bytes "
                    "lost): %.2f x\n",
                    static_cast<unsigned long>(rate), normal, static_cast<unsigned long>(overflowNormal), zero,
                    static_cast<unsigned long>(overflowZero), normal > 0 ? zero / normal : 0.0);
    }
    control.ResetState(0);
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : DEFAULT_STREAM_SECONDS;
    if (!bench::StartSensor())
        return 1;

    CWinApp app;
    CWnd target;
    target.m_hWnd = CreateWindowExA(0, "STATIC", "bench", WS_POPUP | WS_VISIBLE, 0, 0, 512, 384, nullptr, nullptr,
                                    nullptr, nullptr);
    app.m_pMainWnd = &target;

    BenchPainters(target.m_hWnd);
    BenchStream(target.m_hWnd, seconds);

    app.m_pMainWnd = nullptr;
    DestroyWindow(target.m_hWnd);
    target.m_hWnd = nullptr;

    BenchZeroLengthReads(seconds);
    return 0;
}

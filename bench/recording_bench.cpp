// Prints, for one capture file of about 200 MB (made on the first run at
// the path given, with a short and a long picture now and then):
// - MB/s of a plain read of the file in 1 MB blocks;
// - MB/s of the inspector's summary (the work behind --json) of the file:
//   the read and split as the program does them, with its checks for a stop
//   between blocks and, at the end, that the recording is still what was
//   read;
// - the summary's speed as a share of the plain read's (goal: at least 0.5);
// - the wall time of orlavent-inspect.exe --json on it, process start included.
// Each figure is the best of a few runs, alternated, with the file cached.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "recording/capture_file.h"
#include "recording/run_guard.h"
#include "tools/stopwatch.h"

using stopwatch::NowMs;

namespace {

constexpr uint64_t CAPTURE_PICTURES = 16000; // x 12,294 bytes: about 197 MB
constexpr uint64_t DAMAGE_EVERY = 997;       // pictures between a short and a long one
constexpr int RUNS = 3;
constexpr DWORD READ_BLOCK = 1 << 20;
constexpr double MB = 1e6;
const char DEFAULT_FILE[] = "recording-bench.bin";

std::vector<BYTE> PatternPicture(uint64_t number)
{
    std::vector<BYTE> picture(inspect::PICTURE_BYTES);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<BYTE>((i % inspect::PICTURE_WIDTH) * 2 + i / inspect::PICTURE_WIDTH + number);
    return picture;
}

uint64_t SizeOf(const char* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool MakeCapture(const char* path)
{
    std::printf("making %s ...\n", path);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    for (uint64_t n = 0; n < CAPTURE_PICTURES && ok; ++n) {
        std::vector<BYTE> piece(inspect::PICTURE_MARKER, inspect::PICTURE_MARKER + inspect::MARKER_LENGTH);
        const std::vector<BYTE> picture = PatternPicture(n);
        piece.insert(piece.end(), picture.begin(), picture.end());
        if (n % DAMAGE_EVERY == 1)
            piece.resize(piece.size() - 100); // bytes lost
        else if (n % DAMAGE_EVERY == 2)
            piece.insert(piece.end(), picture.begin(), picture.begin() + 50); // marker lost in between
        DWORD written = 0;
        ok = WriteFile(file, piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr) &&
             written == piece.size();
    }
    CloseHandle(file);
    return ok;
}

double PlainReadMs(const char* path)
{
    inspect::CaptureFile file;
    std::vector<BYTE> buffer(READ_BLOCK);
    const double start = NowMs();
    DWORD got = 0;
    if (file.Open(path)) {
        while (file.Read(buffer.data(), READ_BLOCK, got) && got > 0) {
        }
    }
    return NowMs() - start;
}

// As orlavent-inspect --json does it (Inspect in recording_tool.cpp).
double SummaryMs(const char* path, inspect::CaptureSummary& summary)
{
    inspect::CaptureSplitter splitter;
    const double start = NowMs();
    inspect::CaptureFile file;
    if (file.Open(path)) {
        inspect::CaptureScan scan(file);
        inspect::RunGuard guard(scan, path);
        const inspect::ScanResult result = scan.Run(splitter, nullptr, [&guard] { return guard.MustStop(); });
        if (result != inspect::ScanResult::Done || guard.MustStopNow())
            std::fprintf(stderr, "the summary did not finish (the recording changed?)\n");
    }
    const double elapsed = NowMs() - start;
    summary = splitter.Summary();
    return elapsed;
}

double ProgramMs(const std::string& commandLine)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    PROCESS_INFORMATION process = {};
    std::string line = commandLine;
    const double start = NowMs();
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(startup.hStdOutput);
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    const double elapsed = NowMs() - start;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(startup.hStdOutput);
    return elapsed;
}

std::string InspectorPath()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of("\\/") + 1) + "orlavent-inspect.exe";
}

} // namespace

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : DEFAULT_FILE;
    if (SizeOf(path) < CAPTURE_PICTURES * inspect::PICTURE_BYTES && !MakeCapture(path)) {
        std::fprintf(stderr, "cannot make %s\n", path);
        return 1;
    }
    const double megabytes = SizeOf(path) / MB;
    PlainReadMs(path); // into the cache
    double plain = 1e30, summary = 1e30, program = 1e30;
    inspect::CaptureSummary result;
    for (int run = 0; run < RUNS; ++run) {
        plain = std::min(plain, PlainReadMs(path));
        summary = std::min(summary, SummaryMs(path, result));
        program = std::min(program, ProgramMs("\"" + InspectorPath() + "\" --json \"" + path + "\""));
    }
    std::printf("inspector on %.0f MB (%llu complete, %llu short, %llu long pictures):\n", megabytes,
                static_cast<unsigned long long>(result.complete), static_cast<unsigned long long>(result.shortPictures),
                static_cast<unsigned long long>(result.longPictures));
    std::printf("  plain read           %8.0f MB/s\n", megabytes * 1000 / plain);
    std::printf("  summary (--json)     %8.0f MB/s\n", megabytes * 1000 / summary);
    std::printf("  ratio summary/plain  %8.2f (goal: at least 0.50)\n", plain / summary);
    std::printf("  orlavent-inspect.exe --json: %.0f ms, process start included\n", program);
    return 0;
}

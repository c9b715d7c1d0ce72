// orlavent-inspect - tells what a recording of the sensor's stream holds,
// and writes its pictures out as CSV rows, PNG files or a video.
// See USAGE in tool_options.cpp.
#include <windows.h>

#include <io.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "recording/capture_file.h"
#include "recording/console_stop.h"
#include "recording/picture_files.h"
#include "recording/picture_folder.h"
#include "recording/run_guard.h"
#include "recording/staged_outputs.h"
#include "recording/tool_options.h"
#include "tools/stopwatch.h"

using namespace inspect;

namespace {

constexpr uint64_t PROGRESS_MIN_BYTES = 64ull << 20; // smaller files finish before a bar helps
constexpr int PROGRESS_WIDTH = 40;
constexpr DWORD FOLLOW_POLL_MS = 250;
constexpr double FOLLOW_STATUS_MS = 1000;
constexpr double MB = 1e6;

#ifdef ORLAVENT_COMMIT_PAUSE
// The tests' build only: ORLAVENT_COMMIT_PAUSE=N holds the run before the
// Nth step of its commit, says so, and waits there to be ended or stopped.
void PauseBeforeStep()
{
    static int steps = 0;
    const char* pauseAt = std::getenv("ORLAVENT_COMMIT_PAUSE");
    if (!pauseAt || std::atoi(pauseAt) != ++steps)
        return;
    std::printf("commit step %d\n", steps);
    std::fflush(stdout);
    WaitForSingleObject(console_stop::Event(), INFINITE);
}
#endif

// Asked before each step of the commit.
bool StopCommit()
{
#ifdef ORLAVENT_COMMIT_PAUSE
    PauseBeforeStep();
#endif
    return console_stop::Asked();
}

// Writes the pictures in range to every output asked for; the first
// failure stops the scan and is kept for the message. Every output is
// written under a temporary name (StagedOutputs) and none replaces a file
// before Commit, which moves them all or none; an output that would be
// the recording being read is refused.
class OutputSink : public PictureSink {
public:
    OutputSink(const InspectOptions& options, const FileIdentity& input, std::function<bool()> mustStop)
        : m_options(options), m_input(input), m_png(options.scale), m_mustStop(std::move(mustStop))
    {
    }
    ~OutputSink() override { Abandon(); }

    // Starts the outputs before any reading, so a bad one fails at once.
    bool Open()
    {
        if (!m_options.csvPath.empty() && !OpenCsv())
            return false;
        if (!m_options.pngFolder.empty() && !PrepareFolder())
            return false;
        return m_options.aviPath.empty() || OpenAvi();
    }

    // Completes every output and flushes it to the disk; false if
    // something could not be written. Nothing has its real name yet.
    bool Close()
    {
        if (m_csv) {
            bool written = std::fflush(m_csv) == 0 &&
                           FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(m_csv))));
            written = std::fclose(m_csv) == 0 && written;
            m_csv = nullptr;
            if (!written)
                Fail("cannot write " + m_options.csvPath);
        }
        if (!m_options.aviPath.empty() && !m_avi.Close())
            Fail("cannot write " + m_options.aviPath + ": " + ErrorText(GetLastError()));
        return m_error.empty();
    }

    // Gives every output its real name, all together or none (see
    // StagedOutputs::Commit); a stop asked for before the last one puts
    // everything back. `notPutBack` names what could not be put back.
    StagedOutputs::Outcome Commit(std::string& notPutBack)
    {
        std::string message;
        const StagedOutputs::Outcome outcome = m_files.Commit(message, notPutBack, StopCommit);
        if (outcome == StagedOutputs::Outcome::Done)
            m_committed = true;
        if (outcome == StagedOutputs::Outcome::Failed || !message.empty())
            m_error = message;
        return outcome;
    }

    // The pictures in the picture folder that this run did not write.
    OtherPictures Others() const
    {
        return FindOtherPictures(m_options.pngFolder, [this](uint64_t number) {
            return std::binary_search(m_written.begin(), m_written.end(), number);
        });
    }

    // Removes every temporary file, and the picture folder if this run
    // made it and it is still empty.
    void Abandon()
    {
        if (m_csv)
            std::fclose(m_csv);
        m_csv = nullptr;
        m_avi.Abandon();
        m_files.Discard();
        if (m_madeFolder && !m_committed)
            RemoveDirectoryA(m_options.pngFolder.c_str());
        m_madeFolder = false;
    }

    const std::string& Error() const { return m_error; }

    bool WantsPixels(uint64_t number) const override
    {
        return (!m_options.pngFolder.empty() || !m_options.aviPath.empty()) && m_options.InRange(number);
    }

    bool OnPicture(const PictureInfo& picture, const BYTE* pixels) override
    {
        if (m_mustStop())
            return false;
        if (!m_options.InRange(picture.number))
            return true;
        if (m_csv && !WriteCsvRow(picture))
            return Fail("cannot write " + m_options.csvPath);
        if (!pixels)
            return true;
        if (!m_options.pngFolder.empty() && !WritePng(picture.number, pixels))
            return false;
        return m_options.aviPath.empty() || AddFrame(picture.number, pixels);
    }

private:
    bool Fail(const std::string& message)
    {
        if (m_error.empty())
            m_error = message;
        return false;
    }

    bool IsInput(const std::string& path) const
    {
        FileIdentity identity;
        return IdentifyPath(path, identity) && identity == m_input;
    }

    // Creates the temporary file for `path`; the recording's own path is
    // refused, as the output would replace the recording.
    bool Begin(const std::string& path, std::string& tempPath)
    {
        if (IsInput(path))
            return Fail(path + " is the capture file itself");
        if (!m_files.Add(path, tempPath))
            return Fail("cannot create " + path + ": " + ErrorText(GetLastError()));
        return true;
    }

    bool OpenCsv()
    {
        std::string tempPath;
        if (!Begin(m_options.csvPath, tempPath))
            return false;
        m_csv = std::fopen(tempPath.c_str(), "w");
        if (!m_csv)
            return Fail("cannot create " + m_options.csvPath + ": " + ErrorText(GetLastError()));
        if (std::fputs("number,offset,length,kind,min,mean,max\n", m_csv) < 0)
            return Fail("cannot write " + m_options.csvPath);
        return true;
    }

    bool OpenAvi()
    {
        std::string tempPath;
        if (!Begin(m_options.aviPath, tempPath))
            return false;
        if (!m_avi.Open(tempPath, m_options.fps))
            return Fail("cannot write " + m_options.aviPath + ": " + ErrorText(GetLastError()));
        return true;
    }

    bool WriteCsvRow(const PictureInfo& p)
    {
        int written;
        if (p.grey.count == 0)
            written = std::fprintf(m_csv, "%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%s,,,\n", p.number, p.offset, p.length,
                                   KindName(p.kind));
        else
            written = std::fprintf(m_csv, "%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%s,%u,%.2f,%u\n", p.number, p.offset,
                                   p.length, KindName(p.kind), p.grey.min, p.grey.Mean(), p.grey.max);
        return written > 0;
    }

    bool PrepareFolder()
    {
        if (!m_png.Ok())
            return Fail("the system's imaging component (WIC) is not available");
        const std::string& folder = m_options.pngFolder;
        if (CreateDirectoryA(folder.c_str(), nullptr))
            m_madeFolder = true;
        else if (GetLastError() != ERROR_ALREADY_EXISTS)
            return Fail("cannot create the folder " + folder + ": " + ErrorText(GetLastError()));
        const DWORD attributes = GetFileAttributesA(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return Fail(folder + " is not a folder");
        return true;
    }

    bool WritePng(uint64_t number, const BYTE* pixels)
    {
        const std::string path = m_options.pngFolder + "\\" + PictureName(number);
        std::string tempPath;
        if (!Begin(path, tempPath))
            return false;
        const HRESULT hr = m_png.Write(tempPath, pixels);
        if (FAILED(hr))
            return Fail("cannot write " + path + ": " + ErrorText(hr));
        m_written.push_back(number); // in increasing order
        return true;
    }

    bool AddFrame(uint64_t number, const BYTE* pixels)
    {
        if (m_avi.IsFull()) {
            char message[160];
            std::snprintf(message, sizeof(message),
                          " is full (1 GB) before picture %" PRIu64 "; choose fewer with --pictures", number);
            return Fail(m_options.aviPath + message);
        }
        if (!m_avi.Add(pixels))
            return Fail("cannot write " + m_options.aviPath + ": " + ErrorText(GetLastError()));
        return true;
    }

    const InspectOptions& m_options;
    const FileIdentity m_input;
    StagedOutputs m_files;
    std::FILE* m_csv = nullptr;
    PngWriter m_png;
    AviWriter m_avi;
    std::function<bool()> m_mustStop;
    std::vector<uint64_t> m_written; // the pictures written to the folder
    bool m_madeFolder = false;
    bool m_committed = false;
    std::string m_error;
};

// The ANSI text as UTF-8, which JSON requires.
std::string Utf8FromAnsi(const std::string& text)
{
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (wideLength <= 0)
        return std::string();
    std::wstring wide(wideLength, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], wideLength);
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string utf8(length > 0 ? length : 0, '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, &utf8[0], length, nullptr, nullptr);
    return utf8;
}

// A JSON string of ANSI text: UTF-8, with quotes, backslashes and control
// characters escaped.
std::string JsonString(const std::string& ansiText)
{
    std::string quoted = "\"";
    for (unsigned char c : Utf8FromAnsi(ansiText)) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

// The pictures of the --png folder that the run did not write, if any.
void PrintOthers(const InspectOptions& options, const OtherPictures& others)
{
    if (others.count)
        std::printf("other pictures in %s: %" PRIu64 ", %s to %s, not written by this run\n",
                    options.pngFolder.c_str(), others.count, PictureName(others.first).c_str(),
                    PictureName(others.last).c_str());
}

void PrintJson(const std::string& file, const CaptureSummary& s, const OtherPictures* others)
{
    std::printf("{\"file\": %s, \"bytes\": %" PRIu64 ", \"markers\": %" PRIu64 ", \"leading_bytes\": %" PRIu64
                ", \"pictures\": {\"complete\": %" PRIu64 ", \"short\": %" PRIu64 ", \"long\": %" PRIu64
                ", \"unfinished\": %" PRIu64 "}, \"grey\": ",
                JsonString(file).c_str(), s.bytes, s.markers, s.leadingBytes, s.complete, s.shortPictures,
                s.longPictures, s.unfinished);
    const GreyStats& g = s.completeGrey;
    if (g.count)
        std::printf("{\"min\": %u, \"mean\": %.3f, \"max\": %u}", g.min, g.Mean(), g.max);
    else
        std::printf("null");
    if (others && others->count)
        std::printf(", \"other_pictures\": {\"count\": %" PRIu64 ", \"first\": %" PRIu64 ", \"last\": %" PRIu64 "}",
                    others->count, others->first, others->last);
    else if (others)
        std::printf(", \"other_pictures\": {\"count\": 0, \"first\": null, \"last\": null}");
    std::printf("}\n");
}

void PrintSummary(const std::string& file, const CaptureSummary& s)
{
    std::printf("file:      %s\n", file.c_str());
    std::printf("bytes:     %" PRIu64 "\n", s.bytes);
    std::printf("pictures:  %" PRIu64 " complete, %" PRIu64 " short, %" PRIu64 " long, %" PRIu64
                " unfinished (%" PRIu64 " markers)\n",
                s.complete, s.shortPictures, s.longPictures, s.unfinished, s.markers);
    std::printf("before the first marker: %" PRIu64 " bytes\n", s.leadingBytes);
    const GreyStats& g = s.completeGrey;
    if (g.count)
        std::printf("grey of the complete pictures: min %u, mean %.1f, max %u\n", g.min, g.Mean(), g.max);
    else
        std::printf("grey of the complete pictures: none\n");
}

bool IsConsole(DWORD which)
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(which), &mode) != FALSE;
}

// A bar on stderr, redrawn when the percentage changes.
class ProgressBar {
public:
    void operator()(uint64_t done, uint64_t total)
    {
        if (total < PROGRESS_MIN_BYTES || done > total)
            return;
        const int percent = static_cast<int>(done * 100 / total);
        if (percent == m_percent)
            return;
        m_percent = percent;
        char bar[PROGRESS_WIDTH + 1];
        const int filled = percent * PROGRESS_WIDTH / 100;
        for (int i = 0; i < PROGRESS_WIDTH; ++i)
            bar[i] = i < filled ? '#' : '.';
        bar[PROGRESS_WIDTH] = '\0';
        std::fprintf(stderr, "\r[%s] %3d%%  %.0f of %.0f MB", bar, percent, done / MB, total / MB);
        m_shown = true;
    }
    ~ProgressBar()
    {
        if (m_shown)
            std::fprintf(stderr, "\r%*s\r", PROGRESS_WIDTH + 30, "");
    }

private:
    int m_percent = -1;
    bool m_shown = false;
};

// Shows one status line, rewritten in place, until Ctrl+C; then the summary
// of what was seen.
int Follow(const InspectOptions& options)
{
    GrowingCapture capture(options.file.c_str());
    uint64_t lastPictures = 0, lastBytes = 0;
    int lastRestarts = 0;
    double lastTime = stopwatch::NowMs();
    std::printf("following %s; Ctrl+C ends\n", options.file.c_str());
    std::fflush(stdout);
    const StopFn stop = [] { return console_stop::Asked(); };
    while (WaitForSingleObject(console_stop::Event(), FOLLOW_POLL_MS) == WAIT_TIMEOUT) {
        const BOOL readable = capture.Poll(stop);
        const double now = stopwatch::NowMs();
        if (now - lastTime < FOLLOW_STATUS_MS || console_stop::Asked())
            continue;
        const CaptureSummary& s = capture.Splitter().Summary();
        if (capture.Restarts() != lastRestarts) {
            lastRestarts = capture.Restarts();
            lastPictures = lastBytes = 0;
        }
        const double seconds = (now - lastTime) / 1000.0;
        const uint64_t pictures = s.complete + s.shortPictures + s.longPictures;
        if (readable)
            std::printf("\r%8" PRIu64 " pictures %7.1f pictures/s %7.2f MB/s  short %" PRIu64 "  long %" PRIu64 "   ",
                        pictures, (pictures - lastPictures) / seconds, (s.bytes - lastBytes) / MB / seconds,
                        s.shortPictures, s.longPictures);
        else
            std::printf("\rwaiting for %s: %s   ", options.file.c_str(), ErrorText(GetLastError()).c_str());
        std::fflush(stdout);
        lastPictures = pictures;
        lastBytes = s.bytes;
        lastTime = now;
    }
    std::printf("\n");
    capture.Finish();
    PrintSummary(options.file, capture.Splitter().Summary());
    return EXIT_STOPPED;
}

// Two outputs that would share one file, said for the message; empty if
// none. The pictures --png may write count by their names.
std::string OutputClash(const InspectOptions& options)
{
    if (!options.csvPath.empty() && !options.aviPath.empty() && NameSameFile(options.csvPath, options.aviPath))
        return "--csv and --avi name the same file, " + options.aviPath;
    const NumberTest inRange = [&options](uint64_t number) { return options.InRange(number); };
    for (const std::string* path : {&options.csvPath, &options.aviPath})
        if (!path->empty() && !options.pngFolder.empty() && IsPictureOf(*path, options.pngFolder, inRange))
            return *path + " is a picture's name for --png " + options.pngFolder;
    return std::string();
}

// A failure or stop part-way whose put-back failed: some names hold the
// new file, and where each old one is.
int NotPutBack(const std::string& notPutBack)
{
    std::fprintf(stderr, "orlavent-inspect: not every replaced file could be put back: %s\n", notPutBack.c_str());
    return EXIT_NOT_PUT_BACK;
}

// The message for a run that ended early without a failure of its own; the
// outputs' temporary files are gone with the sink.
int Ended(int reason, const InspectOptions& options)
{
    if (reason == EXIT_CHANGED)
        std::fprintf(stderr, "orlavent-inspect: the recording changed while it was read (%s); no file was written\n",
                     options.file.c_str());
    else
        std::fprintf(stderr, "orlavent-inspect: stopped; no file was changed\n");
    return reason;
}

int Inspect(const InspectOptions& options)
{
    const std::string clash = OutputClash(options);
    if (!clash.empty()) {
        std::fprintf(stderr, "orlavent-inspect: %s\n", clash.c_str());
        return EXIT_USAGE;
    }
    // The recording first: a mistyped name must not cost any output.
    CaptureFile input;
    if (!input.Open(options.file.c_str())) {
        std::fprintf(stderr, "orlavent-inspect: cannot open %s: %s\n", options.file.c_str(),
                     ErrorText(GetLastError()).c_str());
        return EXIT_INPUT;
    }
    CaptureScan scan(input);
    RunGuard guard(scan, options.file);
    const std::function<bool()> mustStop = [&guard] { return guard.MustStop(); };
    OutputSink outputs(options, input.Identity(), mustStop);
    if (!outputs.Open()) {
        std::fprintf(stderr, "orlavent-inspect: %s\n", outputs.Error().c_str());
        return EXIT_OUTPUT;
    }
    CaptureSplitter splitter(&outputs);
    ScanResult result;
    DWORD readError = 0;
    {
        ProgressBar bar;
        ProgressFn progress;
        if (IsConsole(STD_ERROR_HANDLE))
            progress = [&bar](uint64_t done, uint64_t total) { bar(done, total); };
        result = scan.Run(splitter, progress, mustStop);
        readError = GetLastError();
    }
    if (guard.Reason() != EXIT_OK)
        return Ended(guard.Reason(), options);
    if (!outputs.Error().empty()) {
        std::fprintf(stderr, "orlavent-inspect: %s\n", outputs.Error().c_str());
        return EXIT_OUTPUT;
    }
    if (result == ScanResult::CannotRead) {
        std::fprintf(stderr, "orlavent-inspect: cannot read %s: %s\n", options.file.c_str(),
                     ErrorText(readError).c_str());
        return EXIT_INPUT;
    }
    // The recording is looked at once the scan ends, and again once every
    // output is complete, just before the first one replaces anything.
    if (guard.MustStopNow())
        return Ended(guard.Reason(), options);
    if (!outputs.Close()) {
        std::fprintf(stderr, "orlavent-inspect: %s\n", outputs.Error().c_str());
        return EXIT_OUTPUT;
    }
    if (guard.MustStopNow())
        return Ended(guard.Reason(), options);
    std::string notPutBack;
    switch (outputs.Commit(notPutBack)) {
    case StagedOutputs::Outcome::Failed:
        std::fprintf(stderr, "orlavent-inspect: %s\n", outputs.Error().c_str());
        return notPutBack.empty() ? EXIT_OUTPUT : NotPutBack(notPutBack);
    case StagedOutputs::Outcome::Stopped:
        return notPutBack.empty() ? Ended(EXIT_STOPPED, options) : NotPutBack(notPutBack);
    case StagedOutputs::Outcome::Done:
        if (!outputs.Error().empty()) // a replaced file left under a temporary name
            std::fprintf(stderr, "orlavent-inspect: warning: %s\n", outputs.Error().c_str());
        break;
    }
    const OtherPictures others = options.pngFolder.empty() ? OtherPictures() : outputs.Others();
    if (options.json) {
        PrintJson(options.file, splitter.Summary(), options.pngFolder.empty() ? nullptr : &others);
    } else {
        PrintSummary(options.file, splitter.Summary());
        PrintOthers(options, others);
    }
    return EXIT_OK;
}

} // namespace

int main(int argc, char** argv)
{
    console_stop::Listen();
    InspectOptions options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "orlavent-inspect: %s\n\n%s", error.c_str(), USAGE);
        return EXIT_USAGE;
    }
    if (options.help) {
        std::fputs(USAGE, stdout);
        return EXIT_OK;
    }
    ComScope com;
    return console_stop::Finished(options.follow ? Follow(options) : Inspect(options));
}

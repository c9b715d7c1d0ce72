// orlavent-inspect keeps its promise: a run that fails, is stopped (Ctrl+C,
// Ctrl+Break, the console closing) or reads a recording that changes under
// it leaves every file as it was, and no temporary file behind; one that
// is killed leaves every name with its old file or its new one. Every case
// runs the real program. A slow run is a real one: pictures written as
// PNG files 16 times larger, which the test watches appear as temporary
// files before it acts.
#include <windows.h>

#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "tests/recording_support.h"

using namespace inspect_test;

namespace {

// Enough pictures at --scale 16 that a run lasts seconds, natively too,
// while it spans more than one of the program's reads (128 KiB each).
constexpr int SLOW_PICTURES = 30;
constexpr DWORD START_TIMEOUT_MS = 60000; // the program's start under a loaded emulator
constexpr DWORD END_TIMEOUT_MS = 20000;
constexpr double STOP_WITHIN_MS = 1000;   // the promise

const std::vector<BYTE> EARLIER = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};

std::vector<BYTE> Pictures(int count, int seed = 0)
{
    return Stream().Pictures(count, seed).bytes;
}

// Every file and folder under `folder`, by relative name, with a hash of
// each file's content: what "every file as it was, and nothing else"
// compares.
using FolderState = std::map<std::string, DWORD>;

FolderState StateOf(const std::string& folder, const std::string& prefix = std::string())
{
    FolderState state;
    ForEachIn(folder, [&](const std::string& name, DWORD attributes) {
        std::vector<BYTE> bytes;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            const FolderState inside = StateOf(folder + name + "\\", prefix + name + "\\");
            state.insert(inside.begin(), inside.end());
        }
        testing_support::ReadWholeFile((folder + name).c_str(), bytes);
        state[prefix + name] = testing_support::Fnv1a(bytes.data(), bytes.size());
    });
    return state;
}

// The hash of the file at `name` in `state`, 0 if there is none.
DWORD At(const FolderState& state, const std::string& name)
{
    return state.count(name) ? state.at(name) : 0;
}

bool HasTemporaryFile(const std::string& folder)
{
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs)
{
    const double end = testing_support::NowMs() + timeoutMs;
    while (!condition()) {
        if (testing_support::NowMs() > end)
            return false;
        Sleep(5);
    }
    return true;
}

// The number after "label" in the program's summary; -1 if absent.
long long SummaryNumber(const std::string& output, const char* label)
{
    const size_t at = output.find(label);
    return at == std::string::npos ? -1 : std::atoll(output.c_str() + at + std::strlen(label));
}

BOOL WINAPI LetCtrlCPass(DWORD event)
{
    return event == CTRL_C_EVENT;
}

// A console of this process's own, which programs it starts then share, so
// that Ctrl+C can be sent through it; Wine gives a test run headless none
// that takes events. This process ignores the Ctrl+C it sends.
bool ShareAConsole()
{
    static bool ready = false;
    if (!ready && GetConsoleCP() == 0) {
        FreeConsole();
        AllocConsole();
    }
    if (!ready && GetConsoleCP() != 0)
        ready = SetConsoleCtrlHandler(LetCtrlCPass, TRUE) != FALSE;
    return ready;
}

// Delivers a console control event to the program. Ctrl+C goes through the
// console it shares with this process, as a key press would. The system
// delivers every event by starting a thread in the process at CtrlRoutine
// with the event as argument; Ctrl+Break and the console's close go that
// way here, as Wine's console does not generate Ctrl+Break and one program
// cannot close another's console.
bool SendConsoleEvent(HANDLE process, DWORD event)
{
    if (event == CTRL_C_EVENT)
        return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != FALSE;
    void* routine = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine"));
    if (!routine)
        routine = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine"));
    const HANDLE thread = routine ? CreateRemoteThread(process, nullptr, 0,
                                                       reinterpret_cast<LPTHREAD_START_ROUTINE>(routine),
                                                       reinterpret_cast<void*>(static_cast<DWORD_PTR>(event)), 0,
                                                       nullptr)
                                  : nullptr;
    return thread && CloseHandle(thread);
}

// A folder with a recording and the outputs of an earlier run: a CSV, a
// video, and pictures 1 and 3 (the new run writes 1, 2, 3...).
class InspectorRun : public ::testing::Test {
protected:
    void Prepare(const std::string& name, const std::vector<BYTE>& recording)
    {
        m_folder = TempFolder(name);
        m_recording = m_folder + "recording.bin";
        m_csv = m_folder + "pictures.csv";
        m_avi = m_folder + "pictures.avi";
        m_pictures = m_folder + "pictures\\";
        ASSERT_TRUE(CreateDirectoryA(m_pictures.c_str(), nullptr));
        ASSERT_TRUE(SaveFile(m_recording, recording));
        for (const std::string& path : {m_csv, m_avi, m_pictures + "picture-000001.png",
                                        m_pictures + "picture-000003.png"})
            ASSERT_TRUE(SaveFile(path, EARLIER));
    }

    // Every output at once, the pictures 16 times larger: a slow run.
    std::string SlowRun() const
    {
        return "--csv " + m_csv + " --avi " + m_avi + " --png " + m_pictures + " --scale 16 " + m_recording;
    }

    // Starts the run and waits until it is writing its pictures.
    void StartAndWaitForPictures(InspectorProcess& inspector, const std::string& arguments)
    {
        ASSERT_TRUE(inspector.Start(arguments));
        ASSERT_TRUE(WaitFor([&] { return HasTemporaryFile(m_pictures) || !inspector.Running(); }, START_TIMEOUT_MS));
        ASSERT_TRUE(inspector.Running()) << "ended before its first picture: " << inspector.Output();
    }

    // Starts the CSV and pictures of the recording from the tests' build,
    // which holds the run before step `step` of its commit, and waits until
    // it is held there or has ended.
    void StartHeldBefore(InspectorProcess& inspector, int step)
    {
        SetEnvironmentVariableA("ORLAVENT_COMMIT_PAUSE", std::to_string(step).c_str());
        const bool started = inspector.Start("--csv " + m_csv + " --png " + m_pictures + " " + m_recording,
                                             "orlavent-inspect-steps.exe");
        SetEnvironmentVariableA("ORLAVENT_COMMIT_PAUSE", nullptr);
        ASSERT_TRUE(started);
        ASSERT_TRUE(WaitFor([&] { return inspector.Output().find("commit step") != std::string::npos ||
                                         !inspector.Running(); }, START_TIMEOUT_MS));
    }

    std::string m_folder, m_recording, m_csv, m_avi, m_pictures;
};

// Runs that cannot finish leave every file as it was, the recording
// included, and no temporary file: bad usage, two outputs that name one
// file (a picture of --png among them, by its name in another case or by a
// hard link), a mistyped recording, a later picture that would be the
// recording, an output that fails after others have begun, a file that
// cannot be replaced at the end because a player holds it open without
// leave to move it (the CSV, video and pictures go in that order, so those
// before it are put back). A run that can finish then replaces them all.
TEST_F(InspectorRun, NoRunThatCannotFinishChangesAFile)
{
    ASSERT_NO_FATAL_FAILURE(Prepare("unfinished", Pictures(5)));
    const std::string asPicture5 = m_pictures + "picture-000005.png", alias = m_folder + "alias.avi";
    const std::string empty = m_folder + "empty.bin", outputs = "--csv " + m_csv + " --avi " + m_avi + " --png " +
                                                                m_pictures + " ";
    ASSERT_TRUE(SaveFile(asPicture5, Pictures(5)) && SaveFile(empty, {}));
    ASSERT_TRUE(CreateHardLinkA(alias.c_str(), (m_pictures + "picture-000001.png").c_str(), nullptr));
    const std::string held3 = m_pictures + "picture-000003.png";
    const struct {
        std::string arguments, says, held;
        int exitCode;
    } cases[] = {
        {"--help", "usage:", "", 0},
        {"--json " + empty, "\"bytes\": 0,", "", 0},
        {"--bogus " + m_recording, "unknown option", "", EXIT_USAGE},
        {"--pictures 5-2 " + m_recording, "bad value", "", EXIT_USAGE},
        {"--scale", "needs a value", "", EXIT_USAGE},
        {m_recording + " " + m_recording, "only one", "", EXIT_USAGE},
        {"--csv " + m_csv + " --avi " + m_folder + "PICTURES.CSV " + m_recording, "name the same file", "", EXIT_USAGE},
        {"--png " + m_pictures + " --csv " + m_pictures + "PICTURE-000002.PNG " + m_recording, "picture's name", "",
         EXIT_USAGE},
        {"--png " + m_pictures + " --avi " + alias + " " + m_recording, "picture's name", "", EXIT_USAGE},
        {outputs + m_folder + "mistyped.bin", "cannot open", "", EXIT_INPUT},
        {outputs + m_pictures, "cannot open", "", EXIT_INPUT}, // a folder
        {outputs + asPicture5, "picture-000005.png is the capture file itself", "", EXIT_OUTPUT},
        {"--csv " + m_folder + "no\\such.csv " + m_recording, "cannot create", "", EXIT_OUTPUT},
        {"--csv " + m_csv + " --avi " + m_avi + " --png " + empty + " " + m_recording, "is not a folder", "",
         EXIT_OUTPUT},
        {outputs + m_recording, "cannot replace " + m_avi, m_avi, EXIT_OUTPUT},
        {outputs + m_recording, "cannot replace " + held3, held3, EXIT_OUTPUT},
    };
    const FolderState before = StateOf(m_folder);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const HANDLE player = CreateFileA(c.held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                          nullptr);
        std::string output;
        EXPECT_EQ(c.exitCode, RunInspector(c.arguments, &output)) << output;
        if (player != INVALID_HANDLE_VALUE)
            CloseHandle(player);
        EXPECT_NE(std::string::npos, output.find(c.says)) << output;
        EXPECT_EQ(before, StateOf(m_folder));
    }
    std::string output;
    ASSERT_EQ(0, RunInspector(outputs + m_recording, &output)) << output;
    const FolderState after = StateOf(m_folder);
    for (const char* name : {"pictures.csv", "pictures.avi", "pictures\\picture-000001.png",
                             "pictures\\picture-000003.png", "pictures\\picture-000005.png"})
        EXPECT_NE(before.at(name), after.at(name)) << name;
    EXPECT_FALSE(HasTemporaryFile(m_folder) || HasTemporaryFile(m_pictures));
}

// Ctrl+C, Ctrl+Break or the console closing while pictures are written:
// the run ends within a second with its own exit code, and every file is
// as it was.
TEST_F(InspectorRun, CtrlCCtrlBreakOrClosingTheConsoleEndsItWithinASecondAndChangesNoFile)
{
    const struct {
        const char* name;
        DWORD event;
    } events[] = {{"Ctrl+C", CTRL_C_EVENT}, {"Ctrl+Break", CTRL_BREAK_EVENT}, {"the console closed", CTRL_CLOSE_EVENT}};
    ASSERT_TRUE(ShareAConsole());
    for (const auto& e : events) {
        SCOPED_TRACE(e.name);
        ASSERT_NO_FATAL_FAILURE(Prepare("stop", Pictures(SLOW_PICTURES)));
        const FolderState before = StateOf(m_folder);
        InspectorProcess inspector;
        ASSERT_NO_FATAL_FAILURE(StartAndWaitForPictures(inspector, SlowRun()));
        ASSERT_TRUE(SendConsoleEvent(inspector.Process(), e.event)) << GetLastError();
        const double sent = testing_support::NowMs();
        const int code = inspector.Wait(END_TIMEOUT_MS);
        const double took = testing_support::NowMs() - sent;
        std::printf("%s: ended %.0f ms after the event\n", e.name, took);
        EXPECT_EQ(EXIT_STOPPED, code) << inspector.Output();
        EXPECT_LT(took, STOP_WITHIN_MS);
        EXPECT_NE(std::string::npos, inspector.Output().find("stopped; no file was changed")) << inspector.Output();
        EXPECT_EQ(before, StateOf(m_folder));
    }
}

// Ended outright before any step of the commit (each output's old file
// gets a second name, then the new one takes the name), every name holds
// its old file or its new one, whole: the new one if its step was done.
TEST_F(InspectorRun, AKillAtAnyStepOfTheCommitLeavesEveryNameWithItsOldFileOrItsNewOne)
{
    ASSERT_NO_FATAL_FAILURE(Prepare("killed", Pictures(2)));
    std::string output;
    ASSERT_EQ(0, RunInspector("--csv " + m_csv + " --png " + m_pictures + " " + m_recording, &output)) << output;
    EXPECT_NE(std::string::npos, output.find(": 1, picture-000003.png to picture-000003.png, not written")) << output;
    const FolderState done = StateOf(m_folder);
    const char* const names[] = {"pictures.csv", "pictures\\picture-000001.png", "pictures\\picture-000002.png"};
    for (int step = 1;; ++step) {
        SCOPED_TRACE("killed before step " + std::to_string(step));
        ASSERT_NO_FATAL_FAILURE(Prepare("killed", Pictures(2)));
        const FolderState before = StateOf(m_folder);
        InspectorProcess inspector;
        ASSERT_NO_FATAL_FAILURE(StartHeldBefore(inspector, step));
        if (!inspector.Running()) {
            EXPECT_EQ(0, inspector.Wait()) << inspector.Output();
            EXPECT_EQ(7, step) << "two steps an output";
            break;
        }
        inspector.Wait(0); // ended outright
        const FolderState after = StateOf(m_folder);
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(At(2 * k + 2 < step ? done : before, names[k]), At(after, names[k])) << names[k];
    }
}

// Another program (an indexer) opens a new file before a stop puts it
// back: the run says which name holds the new file and where the old one
// is, and does not claim that it changed nothing.
TEST_F(InspectorRun, APutBackThatFailsIsSaid)
{
    ASSERT_TRUE(ShareAConsole());
    ASSERT_NO_FATAL_FAILURE(Prepare("put-back", Pictures(2)));
    InspectorProcess inspector;
    ASSERT_NO_FATAL_FAILURE(StartHeldBefore(inspector, 4)); // the CSV has its new file, picture 1 not yet
    const HANDLE indexer = CreateFileA(m_csv.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(SendConsoleEvent(inspector.Process(), CTRL_C_EVENT));
    EXPECT_EQ(EXIT_NOT_PUT_BACK, inspector.Wait(END_TIMEOUT_MS));
    CloseHandle(indexer);
    const std::string output = inspector.Output();
    EXPECT_EQ(std::string::npos, output.find("no file was changed")) << output;
    EXPECT_NE(std::string::npos, output.find(m_csv + " holds the new file")) << output;
    const size_t kept = output.find(m_folder + "ori"), end = output.find(".tmp", kept);
    ASSERT_NE(std::string::npos, end) << output;
    const FolderState after = StateOf(m_folder);
    const DWORD earlier = testing_support::Fnv1a(EARLIER.data(), EARLIER.size());
    EXPECT_EQ(earlier, At(after, output.substr(kept + m_folder.size(), end + 4 - kept - m_folder.size())));
    EXPECT_EQ(earlier, At(after, "pictures\\picture-000001.png"));
}

// --follow's first read of a long recording ends within a second of Ctrl+C,
// part-way, with the summary of what it read.
TEST(InspectorFollow, CtrlCEndsTheFirstReadOfALongRecordingWithinASecond)
{
    const std::string path = TempFolder("follow") + "long.bin";
    const LONGLONG size = 2ll << 30; // of zeros, made in no time as a sparse file
    {
        const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0,
                                        nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD returned = 0;
        DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
        LARGE_INTEGER end;
        end.QuadPart = size;
        const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
        CloseHandle(file);
        ASSERT_TRUE(sized);
    }
    ASSERT_TRUE(ShareAConsole());
    InspectorProcess inspector;
    ASSERT_TRUE(inspector.Start("--follow " + path));
    ASSERT_TRUE(WaitFor([&] { return inspector.Output().find("following") != std::string::npos; }, START_TIMEOUT_MS))
        << inspector.Output();
    Sleep(500); // its first read begins a quarter of a second after it says so
    ASSERT_TRUE(SendConsoleEvent(inspector.Process(), CTRL_C_EVENT));
    const double sent = testing_support::NowMs();
    const int code = inspector.Wait(END_TIMEOUT_MS);
    const double took = testing_support::NowMs() - sent;
    const std::string output = inspector.Output();
    std::printf("ended %.0f ms after Ctrl+C\n", took);
    EXPECT_EQ(EXIT_STOPPED, code) << output;
    EXPECT_LT(took, STOP_WITHIN_MS);
    const long long read = SummaryNumber(output, "bytes:");
    EXPECT_GT(read, 0) << output;
    EXPECT_LT(read, size) << "the first read had ended before Ctrl+C: " << output;
    DeleteFileA(path.c_str());
}

// Writes `bytes` into the recording at `at` (appends with FILE_APPEND_DATA),
// or, with none, cuts it there.
bool Rewrite(const std::string& recording, DWORD access, LONGLONG at, const std::vector<BYTE>& bytes)
{
    const HANDLE file = CreateFileA(recording.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER to;
    to.QuadPart = at;
    DWORD written = 0;
    const bool done = SetFilePointerEx(file, to, nullptr, FILE_BEGIN) &&
                      (bytes.empty() ? SetEndOfFile(file) != FALSE
                                     : WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                                 nullptr) && written == bytes.size());
    CloseHandle(file);
    return done;
}

// A recording that changes while a one-shot run reads it, as the tool
// recreates C:\1.txt at every Show Image, is an error: nothing is written.
// One that only grows, as during a capture, has not changed.
TEST_F(InspectorRun, ARecordingThatChangesWhileItIsReadIsAnErrorThatWritesNothing)
{
    const std::vector<BYTE> more = Pictures(3, 50);
    const struct {
        const char* name;
        std::function<bool(const std::string& recording)> make;
        int exitCode;
    } changes[] = {
        // As the recorder makes it: emptied in place, then a new stream.
        {"recreated by a new capture",
         [](const std::string& recording) { return SaveFile(recording, Pictures(SLOW_PICTURES + 10, 100)); },
         EXIT_CHANGED},
        // The same bytes, but another file: the one read is elsewhere now.
        {"moved away and copied back",
         [](const std::string& recording) {
             std::vector<BYTE> bytes;
             return testing_support::ReadWholeFile(recording.c_str(), bytes) &&
                    MoveFileA(recording.c_str(), (recording + ".kept").c_str()) && SaveFile(recording, bytes);
         },
         EXIT_CHANGED},
        {"cut short", [](const std::string& recording) { return Rewrite(recording, GENERIC_WRITE, 1000, {}); },
         EXIT_CHANGED},
        // Neither its first nor its last block: only the write tells.
        {"rewritten in the middle at the same size",
         [](const std::string& recording) { return Rewrite(recording, GENERIC_WRITE, 160000, Pictures(2, 9)); },
         EXIT_CHANGED},
        {"grown", [&](const std::string& recording) { return Rewrite(recording, FILE_APPEND_DATA, 0, more); }, 0},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.name);
        ASSERT_NO_FATAL_FAILURE(Prepare("changed", Pictures(SLOW_PICTURES)));
        FolderState before = StateOf(m_folder);
        InspectorProcess inspector;
        ASSERT_NO_FATAL_FAILURE(StartAndWaitForPictures(inspector, SlowRun()));
        ASSERT_TRUE(change.make(m_recording));
        const int code = inspector.Wait(END_TIMEOUT_MS);
        const std::string output = inspector.Output();
        EXPECT_EQ(change.exitCode, code) << output;
        EXPECT_FALSE(HasTemporaryFile(m_folder) || HasTemporaryFile(m_pictures));
        if (code == 0) {
            EXPECT_EQ(static_cast<long long>(SLOW_PICTURES * (P + 6) + more.size()), SummaryNumber(output, "bytes:"))
                << "the run ended before the recording grew";
            continue;
        }
        EXPECT_NE(std::string::npos, output.find("the recording changed while it was read")) << output;
        EXPECT_EQ(std::string::npos, output.find("pictures:")) << "a summary of a changed recording: " << output;
        FolderState after = StateOf(m_folder);
        for (FolderState* state : {&before, &after})
            for (const char* name : {"recording.bin", "recording.bin.kept"})
                state->erase(name);
        EXPECT_EQ(before, after);
    }
}

} // namespace

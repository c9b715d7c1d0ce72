// orlavent_session - operates Orlavent.exe (next to this program) where
// nobody can click: connect, show the live picture for a while, stop, exit.
//
//   orlavent_session [--seconds N]   show for N seconds (default 3)
//   orlavent_session --hold PATH     after 2 s of showing create PATH.ready,
//                                    then wait up to 30 s for PATH.done
//
// PATH may be a Linux path (/x/y, seen as Z:\x\y under Wine). Each step is
// printed; the exit code is 0 only if every step succeeded.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "res/resource.h"
#include "tools/window_driver.h"

namespace wd = window_driver;

namespace {

const char PROGRAM[] = "Orlavent.exe";
const char MAIN_CAPTION[] = "Orlavent";
const char CAPTURE_FILE[] = "C:\\1.txt";
constexpr DWORD START_WAIT_MS = 20000; // a cold Wine server starts slowly
constexpr DWORD EXIT_WAIT_MS = 10000;
constexpr DWORD DEFAULT_SHOW_SECONDS = 3;
constexpr DWORD HOLD_READY_MS = 2000;
constexpr DWORD HOLD_MAX_MS = 30000;
constexpr DWORD POLL_MS = 100;

struct Options {
    DWORD showSeconds = DEFAULT_SHOW_SECONDS;
    std::string holdPath; // empty: no hold
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            options.showSeconds = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        else if (std::strcmp(argv[i], "--hold") == 0 && i + 1 < argc)
            options.holdPath = argv[++i];
        else
            return false;
    }
    return true;
}

// A Linux absolute path as Wine's drive Z: shows it; others unchanged.
std::string WindowsPath(const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return path;
    std::string converted = "Z:" + path;
    for (char& c : converted) {
        if (c == '/')
            c = '\\';
    }
    return converted;
}

std::string ProgramPath()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of("\\/") + 1) + PROGRAM;
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CreateMarkerFile(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

bool WaitForFile(const std::string& path, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!FileExists(path)) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(POLL_MS);
    }
    return true;
}

long long FileSize(const char* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool Step(const char* what, bool ok)
{
    std::printf("session: %-40s %s\n", what, ok ? "ok" : "FAILED");
    std::fflush(stdout);
    return ok;
}

// Shows the picture for the configured time, or holds it for a screenshot.
bool ShowFor(const Options& options)
{
    if (options.holdPath.empty()) {
        Sleep(options.showSeconds * 1000);
        return Step("showed the picture", true);
    }
    const std::string base = WindowsPath(options.holdPath);
    Sleep(HOLD_READY_MS);
    if (!Step("signalled ready for a screenshot", CreateMarkerFile(base + ".ready")))
        return false;
    return Step("screenshot taken (.done appeared)", WaitForFile(base + ".done", HOLD_MAX_MS));
}

// The whole session against a running program; false at the first failure.
bool Operate(const PROCESS_INFORMATION& process, const Options& options)
{
    const HWND main = wd::WaitForDialog(MAIN_CAPTION, START_WAIT_MS, process.dwProcessId);
    if (!Step("main window shown", main != nullptr))
        return false;

    wd::Click(main, IDOK);
    const wd::MessageBoxView box = wd::AcknowledgeMessageBox("Connect", wd::DEFAULT_WAIT_MS, process.dwProcessId);
    std::printf("session: connect says \"%s\"\n", box.text.c_str());
    if (!Step("Device Connect", box.text == "Connect Succeed"))
        return false;

    wd::Click(main, IDC_SHOW_IMAGE);
    if (!Step("Show Image (button reads Stop)", wd::WaitForControlText(main, IDC_SHOW_IMAGE, "Stop")))
        return false;
    if (!ShowFor(options))
        return false;

    wd::Click(main, IDC_SHOW_IMAGE);
    if (!Step("Stop (button reads Show Image)", wd::WaitForControlText(main, IDC_SHOW_IMAGE, "Show Image")))
        return false;
    wd::Click(main, IDCANCEL);
    return Step("Exit", WaitForSingleObject(process.hProcess, EXIT_WAIT_MS) == WAIT_OBJECT_0);
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: orlavent_session [--seconds N | --hold PATH]\n");
        return 2;
    }

    const std::string program = ProgramPath();
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!Step("started Orlavent.exe", CreateProcessA(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                                                     nullptr, &startup, &process) != 0))
        return 1;

    bool ok = Operate(process, options);
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 1); // a failed session must not leave the window behind
        ok = false;
    }
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    std::printf("session: Orlavent exit code %lu; %s holds %lld bytes\n", static_cast<unsigned long>(exitCode),
                CAPTURE_FILE, FileSize(CAPTURE_FILE));
    std::printf("session: %s\n", ok && exitCode == 0 ? "succeeded" : "FAILED");
    return ok && exitCode == 0 ? 0 : 1;
}

#include "tests/recording_support.h"

namespace inspect_test {

void ForEachIn(const std::string& folder, const std::function<void(const std::string& name, DWORD attributes)>& visit)
{
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..")
            visit(name, found.dwFileAttributes);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

namespace {

// Empties a folder of files and of folders of files.
void EmptyFolder(const std::string& folder)
{
    ForEachIn(folder, [&folder](const std::string& name, DWORD attributes) {
        const std::string path = folder + name;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            EmptyFolder(path + "\\");
            RemoveDirectoryA(path.c_str());
        } else {
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
        }
    });
}

} // namespace

std::string TempFolder(const std::string& sub)
{
    char path[MAX_PATH];
    GetTempPathA(MAX_PATH, path);
    std::string folder = std::string(path) + "orlavent-inspect-test\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    if (sub.empty())
        return folder;
    folder += sub + "\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    EmptyFolder(folder);
    return folder;
}

bool SaveFile(const std::string& path, const std::vector<BYTE>& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                              0, nullptr);
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool InspectorProcess::Start(const std::string& arguments, const char* program)
{
    static int runs = 0;
    m_outPath = TempFolder() + "output-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++runs) +
                ".txt";
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = CreateFileA(m_outPath.c_str(), GENERIC_WRITE,
                                                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                                         0, nullptr);
    std::string line = "\"" + testing_support::ProgramFolder() + program + "\" " + arguments;
    const BOOL started =
        CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &m_process);
    CloseHandle(startup.hStdOutput);
    return started != FALSE;
}

int InspectorProcess::Wait(DWORD timeoutMs)
{
    if (!m_process.hProcess)
        return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(m_process.hProcess, timeoutMs) != WAIT_OBJECT_0)
        TerminateProcess(m_process.hProcess, code);
    WaitForSingleObject(m_process.hProcess, INFINITE);
    GetExitCodeProcess(m_process.hProcess, &code);
    CloseHandle(m_process.hProcess);
    CloseHandle(m_process.hThread);
    m_process = {};
    return static_cast<int>(code);
}

std::string InspectorProcess::Output() const
{
    std::vector<BYTE> text;
    testing_support::ReadWholeFile(m_outPath.c_str(), text);
    return std::string(text.begin(), text.end());
}

} // namespace inspect_test

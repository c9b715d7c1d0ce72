// recording_support.h - what the tests of orlavent-inspect share: hand-made
// streams, files shared as the recorder shares C:\1.txt, and the program
// itself run in a process of its own.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace inspect_test {

// Written out here rather than taken from the code under test.
constexpr size_t P = 128 * 96;
constexpr BYTE FLAT = 9;
constexpr int EXIT_USAGE = 2, EXIT_INPUT = 3, EXIT_OUTPUT = 4, EXIT_CHANGED = 5, EXIT_STOPPED = 6, EXIT_NOT_PUT_BACK = 7;

struct Stream {
    std::vector<BYTE> bytes;
    Stream& M() { return Raw({0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60}); }
    Stream& Raw(const std::vector<BYTE>& raw)
    {
        bytes.insert(bytes.end(), raw.begin(), raw.end());
        return *this;
    }
    Stream& Grey(size_t count, BYTE value = FLAT)
    {
        bytes.insert(bytes.end(), count, value);
        return *this;
    }
    Stream& Ramp(size_t seed = 0) // a picture whose byte i is (i + seed) % 251
    {
        for (size_t i = 0; i < P; ++i)
            bytes.push_back(static_cast<BYTE>((i + seed) % 251));
        return *this;
    }
    // `count` complete pictures, picture k a ramp from 7 k + seed.
    Stream& Pictures(int count, int seed = 0)
    {
        for (int k = 0; k < count; ++k)
            M().Ramp(7 * k + seed);
        return *this;
    }
};

// The test programs' own folder in the temporary folder, with a trailing
// backslash; `sub`, if given, a folder in it made afresh (emptied).
std::string TempFolder(const std::string& sub = std::string());

// Calls `visit` with the name and attributes of each file and folder in
// `folder` (with a trailing backslash), "." and ".." left out.
void ForEachIn(const std::string& folder, const std::function<void(const std::string& name, DWORD attributes)>& visit);

// Creates or replaces the file, shared as the recorder shares C:\1.txt.
bool SaveFile(const std::string& path, const std::vector<BYTE>& bytes);

// orlavent-inspect.exe (or `program`) running in a process of its own,
// attached to this process's console if it has one, its standard output
// and error in a file.
class InspectorProcess {
public:
    InspectorProcess() = default;
    ~InspectorProcess() { Wait(0); }
    InspectorProcess(const InspectorProcess&) = delete;
    InspectorProcess& operator=(const InspectorProcess&) = delete;

    bool Start(const std::string& arguments, const char* program = "orlavent-inspect.exe");
    // The exit code, or -1 if it has not ended within `timeoutMs` (it is
    // then ended outright).
    int Wait(DWORD timeoutMs = INFINITE);
    bool Running() const { return WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT; }
    // What it has written so far.
    std::string Output() const;
    HANDLE Process() const { return m_process.hProcess; }

private:
    PROCESS_INFORMATION m_process = {};
    std::string m_outPath;
};

// Runs orlavent-inspect.exe to its end; its output lands in `output`.
// Returns the exit code, or -1 if it did not run.
inline int RunInspector(const std::string& arguments, std::string* output = nullptr)
{
    return testing_support::RunProgram("orlavent-inspect.exe", arguments, output);
}

} // namespace inspect_test

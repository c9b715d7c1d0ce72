// tool_options.h - the command line of orlavent-inspect.
#pragma once

#include <cstdint>
#include <string>

#include "stream/stream_format.h"

namespace inspect {

constexpr const char* DEFAULT_CAPTURE_FILE = CAPTURE_FILE_PATH;
constexpr unsigned DEFAULT_FPS = 25;
constexpr unsigned MAX_FPS = 1000;
constexpr unsigned MAX_SCALE = 16;

// Exit codes, one per kind of outcome a script may act on.
enum ExitCode {
    EXIT_OK = 0,
    EXIT_USAGE = 2,
    EXIT_INPUT = 3,   // the capture file is missing or unreadable
    EXIT_OUTPUT = 4,  // an output cannot be written
    EXIT_CHANGED = 5, // the recording changed while it was read
    EXIT_STOPPED = 6, // Ctrl+C, Ctrl+Break or the console closing
    EXIT_NOT_PUT_BACK = 7, // a failure or stop part-way left some new files in place
};

struct InspectOptions {
    std::string file = DEFAULT_CAPTURE_FILE;
    bool help = false;
    bool json = false;
    bool follow = false;
    std::string csvPath;
    std::string pngFolder;
    std::string aviPath;
    unsigned scale = 1;
    unsigned fps = DEFAULT_FPS;
    uint64_t first = 1; // pictures written: first..last
    uint64_t last = UINT64_MAX;

    bool InRange(uint64_t number) const { return number >= first && number <= last; }
};

// Fills options from argv; false with a one-line reason on bad usage.
bool ParseOptions(int argc, char** argv, InspectOptions& options, std::string& error);

extern const char USAGE[];

} // namespace inspect

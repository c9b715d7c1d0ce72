#include "recording/tool_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace inspect {

const char USAGE[] =
    "usage: orlavent-inspect [options] [FILE]\n"
    "Reads a recording of the sensor's stream (FILE, default C:\\1.txt) and tells\n"
    "what it holds; it never changes the file.\n"
    "\n"
    "  --json            the summary as one JSON object\n"
    "  --csv FILE        one row per picture: number, offset, length, kind, min, mean, max\n"
    "  --png DIR         each complete picture as DIR\\picture-NNNNNN.png (8-bit grey)\n"
    "  --scale N         with --png: each grey byte as an N x N block (4: as the live view)\n"
    "  --avi FILE        the complete pictures as an uncompressed grey video\n"
    "  --fps N           with --avi: pictures a second (default 25)\n"
    "  --pictures A-B    write only pictures A to B (--csv, --png, --avi)\n"
    "  --follow          follow a recording as it grows; Ctrl+C ends\n"
    "  --help            this text\n"
    "\n"
    "A picture is the stretch after a marker: complete (12288 bytes), short (fewer,\n"
    "then a marker), long (more) or unfinished (fewer, at the end of the file).\n"
    "\n"
    "Outputs are written under temporary names and replace existing files all\n"
    "together, once every one is complete and the recording is still what was\n"
    "read: a run that fails, or is stopped with Ctrl+C, changes no file. Other\n"
    "pictures in DIR are left alone and counted in the summary.\n"
    "\n"
    "Exit codes: 0 done, 2 bad usage (two outputs naming one file), 3 the file\n"
    "is missing or unreadable, 4 an output cannot be written, 5 the recording\n"
    "changed while it was read, 6 stopped by Ctrl+C, Ctrl+Break or closing the\n"
    "console (how --follow ends), 7 failed or stopped part-way and some replaced\n"
    "files could not be put back (the message says where they are).\n";

namespace {

bool ParseNumber(const char* text, uint64_t low, uint64_t high, uint64_t& value)
{
    if (!text || *text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno || *end || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

bool ParseUnsigned(const char* text, unsigned low, unsigned high, unsigned& value)
{
    uint64_t parsed = 0;
    if (!ParseNumber(text, low, high, parsed))
        return false;
    value = static_cast<unsigned>(parsed);
    return true;
}

// "A-B", "A-" (to the end) or "A" (that one picture).
bool ParseRange(const std::string& text, uint64_t& first, uint64_t& last)
{
    const size_t dash = text.find('-');
    const std::string from = text.substr(0, dash);
    if (!ParseNumber(from.c_str(), 1, UINT64_MAX, first))
        return false;
    if (dash == std::string::npos) {
        last = first;
        return true;
    }
    const std::string to = text.substr(dash + 1);
    if (to.empty()) {
        last = UINT64_MAX;
        return true;
    }
    return ParseNumber(to.c_str(), first, UINT64_MAX, last);
}

} // namespace

bool ParseOptions(int argc, char** argv, InspectOptions& options, std::string& error)
{
    bool haveFile = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needsValue = [&](std::string& target) {
            if (!value) {
                error = arg + " needs a value";
                return false;
            }
            target = value;
            ++i;
            return true;
        };
        if (arg == "--help" || arg == "-h" || arg == "/?") {
            options.help = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--follow") {
            options.follow = true;
        } else if (arg == "--csv" || arg == "--png" || arg == "--avi") {
            std::string& target =
                arg == "--csv" ? options.csvPath : arg == "--png" ? options.pngFolder : options.aviPath;
            if (!needsValue(target))
                return false;
        } else if (arg == "--scale" || arg == "--fps" || arg == "--pictures") {
            std::string text;
            if (!needsValue(text))
                return false;
            const bool ok = arg == "--scale"  ? ParseUnsigned(text.c_str(), 1, MAX_SCALE, options.scale)
                            : arg == "--fps" ? ParseUnsigned(text.c_str(), 1, MAX_FPS, options.fps)
                                             : ParseRange(text, options.first, options.last);
            if (!ok) {
                error = "bad value for " + arg + ": " + text;
                return false;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (haveFile) {
            error = "only one capture file can be read at a time";
            return false;
        } else {
            options.file = arg;
            haveFile = true;
        }
    }
    const bool writesPictures = !options.csvPath.empty() || !options.pngFolder.empty() || !options.aviPath.empty();
    if (options.follow && (writesPictures || options.json)) {
        error = "--follow only shows the live status; run again without it for the outputs";
        return false;
    }
    return true;
}

} // namespace inspect

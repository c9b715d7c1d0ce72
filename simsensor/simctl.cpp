// simctl - console control of the simulated image sensor.
//
//   simctl install [driver.sys]   copy the driver in, create the service, register the interfaces
//   simctl start                  load the driver and wait for it
//   simctl status [dev]           counters and state
//   simctl rate <pps|flat> [dev]  pictures per second, or flat: as fast as read, faster than any bus (a stress mode)
//   simctl fault <flags...> [dev] none noquery badack=N once nosync silent=N nomarkers still
//                                 zeroreads holdreads holdreset refusestart shortquery badsync noack=N
//                                 overlong flaky=N carry singleread busylate
//   simctl fifo <bytes> [dev]     the sensor's buffer size, 2048 to 65536
//   simctl unplug [dev] | plug [dev]
//   simctl present <dev> <0|1>    only what SetupDi shows
//   simctl log [dev] | clearlog [dev]
//   simctl reset [dev]            back to the power-on state
//   simctl replay <file|off> [--loop] [dev]
//                                 stream a recording after the start command instead of the pattern
// Exit code 0 on success, 1 on failure.
#include "simsensor/sim_client.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

const int kExitOk = 0;
const int kExitFailed = 1;

bool IsNumber(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Decimal only, as IsNumber accepts it: "010" is ten, not octal eight.
DWORD ToNumber(const std::string& text)
{
    return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
}

// The device number is the optional trailing number after a command's
// `positional` arguments.
DWORD TakeDevice(Args& args, size_t positional)
{
    if (args.size() > positional && IsNumber(args.back())) {
        DWORD device = ToNumber(args.back());
        args.pop_back();
        return device;
    }
    return 0;
}

bool Report(bool ok, const std::string& what)
{
    std::printf("%s: %s\n", what.c_str(), ok ? "ok" : "FAILED");
    return ok;
}

std::string DeviceText(DWORD device)
{
    return "device " + std::to_string(device);
}

bool WithControl(bool (*action)(sim::Control&, DWORD, const Args&), Args args, size_t positional = 0)
{
    const DWORD device = TakeDevice(args, positional);
    sim::Control control;
    if (!control.IsOpen()) {
        std::printf("the simulated sensor is not running (try: simctl start)\n");
        return false;
    }
    if (device >= SIM_MAX_DEVICES) {
        std::printf("no %s\n", DeviceText(device).c_str());
        return false;
    }
    return action(control, device, args);
}

std::string ProgramFolder()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

bool Install(const Args& args)
{
    const std::string driver = args.empty() ? ProgramFolder() + SIM_DRIVER_FILE : args[0];
    return Report(sim::Install(driver.c_str()) != FALSE, "install " + driver);
}

bool Start(const Args&)
{
    return Report(sim::Start() != FALSE, "start");
}

bool PrintStatus(sim::Control& control, DWORD device, const Args&)
{
    SIM_STATUS s = {};
    if (!Report(control.GetStatus(device, s) != FALSE, "status of " + DeviceText(device)))
        return false;
    std::printf("  plugged %lu  streaming %lu  resets %lu  opens %lu  open handles %lu  pending reads %lu\n",
                s.plugged, s.streaming, s.resetCount, s.openCount, s.openHandles, s.pendingReads);
    std::printf("  received %lu  delivered %llu (hash %016llX)  overflow %llu  pictures %lu  register writes %lu\n",
                s.bytesReceived, s.bytesDelivered, s.deliveredHash, s.overflowBytes, s.picturesStarted,
                s.regWrites);
    std::printf("  made %llu  replied %llu  lost %llu  dropped %llu  buffered %llu\n", s.bytesMade, s.bytesReplied,
                s.bytesLost, s.bytesDropped, s.bytesBuffered);
    std::printf("  refused requests %lu  held requests %lu  gain registers 00=%02X 01=%02X\n", s.refusedRequests,
                s.heldRequests, s.regs[0], s.regs[1]);
    std::printf("  reads %lu  lengths asked %lu to %lu  replay %lu bytes, at %lu\n", s.readRequests, s.readLengthMin,
                s.readLengthMax, s.replayLength, s.replayPosition);
    std::printf("  fifo %lu bytes  flaky reads %lu  busy reads %lu\n", s.fifoBytes, s.flakyReads, s.busyReads);
    return true;
}

bool SetRate(sim::Control& control, DWORD device, const Args& args)
{
    if (args.size() != 1 || (args[0] != "flat" && !IsNumber(args[0]))) {
        std::printf("usage: simctl rate <pictures per second|flat> [dev]\n"
                    "  (the bus carries at most %d whole pictures a second; flat is a stress mode faster than any bus)\n",
                    SIM_BUS_RATE_PICTURES);
        return false;
    }
    const DWORD rate = args[0] == "flat" ? SIM_RATE_FLAT_OUT : ToNumber(args[0]);
    return Report(control.SetRate(device, rate) != FALSE, "rate " + args[0] + " on " + DeviceText(device));
}

struct FaultScript {
    DWORD flags = 0;
    DWORD badAckEntry = 0;
    DWORD stopAfterBytes = 0;
    DWORD flakyEvery = 0;
};

// Faults named by a word alone, and those that take a number (word=N).
const struct {
    const char* name;
    DWORD flag;
} PLAIN_FAULTS[] = {
    {"noquery", SIM_FAULT_NO_QUERY_REPLY}, {"once", SIM_FAULT_BAD_ACK_ONCE},     {"nosync", SIM_FAULT_NO_SYNC_ECHO},
    {"nomarkers", SIM_FAULT_NO_MARKERS},   {"still", SIM_FAULT_STILL},           {"zeroreads", SIM_FAULT_ZERO_READS},
    {"holdreads", SIM_FAULT_HOLD_READS},   {"holdreset", SIM_FAULT_HOLD_RESET},  {"refusestart", SIM_FAULT_REFUSE_START},
    {"shortquery", SIM_FAULT_SHORT_QUERY}, {"badsync", SIM_FAULT_BAD_SYNC_ECHO},   {"overlong", SIM_FAULT_OVERLONG_READS},
    {"singleread", SIM_FAULT_SINGLE_READ}, {"busylate", SIM_FAULT_BUSY_LATE},
    {"carry", SIM_FAULT_FLAKY_CARRIES},
};

const struct {
    const char* name;
    DWORD flag;
    DWORD FaultScript::*number;
    DWORD least;
} NUMBERED_FAULTS[] = {
    {"badack", SIM_FAULT_BAD_ACK, &FaultScript::badAckEntry, 0},
    {"noack", SIM_FAULT_NO_ACK, &FaultScript::badAckEntry, 0},
    {"silent", SIM_FAULT_GO_SILENT, &FaultScript::stopAfterBytes, 0},
    {"flaky", SIM_FAULT_FLAKY_READS, &FaultScript::flakyEvery, 1},
};

// "none noquery ... badack=N ...", from the tables, for messages.
std::string FaultWords()
{
    std::string words = "none";
    for (const auto& fault : PLAIN_FAULTS)
        words += std::string(" ") + fault.name;
    for (const auto& fault : NUMBERED_FAULTS)
        words += std::string(" ") + fault.name + "=N";
    return words;
}

bool ParseFault(const std::string& word, FaultScript& script)
{
    const size_t eq = word.find('=');
    const std::string name = word.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
    if (name == "none" && eq == std::string::npos) {
        script = FaultScript();
        return true;
    }
    for (const auto& fault : PLAIN_FAULTS) {
        if (name == fault.name && eq == std::string::npos) {
            script.flags |= fault.flag;
            return true;
        }
    }
    for (const auto& fault : NUMBERED_FAULTS) {
        if (name == fault.name && IsNumber(value) && ToNumber(value) >= fault.least) {
            script.flags |= fault.flag;
            script.*fault.number = ToNumber(value);
            return true;
        }
    }
    return false;
}

bool ParseFaults(const Args& words, FaultScript& script)
{
    for (const std::string& word : words) {
        if (!ParseFault(word, script)) {
            std::printf("unknown fault '%s' (known: %s)\n", word.c_str(), FaultWords().c_str());
            return false;
        }
    }
    return true;
}

// Checked before the sensor is reached: a script with a word it does not
// know fails alike whether the driver runs or not, and sets nothing.
bool FaultWordsKnown(Args args)
{
    FaultScript script;
    TakeDevice(args, 0);
    return ParseFaults(args, script);
}

bool SetFaults(sim::Control& control, DWORD device, const Args& args)
{
    FaultScript script;
    if (!ParseFaults(args, script))
        return false;
    char what[128];
    std::snprintf(what, sizeof(what), "faults %04lX (bad ack at %lu, silent after %lu, flaky every %lu) on ",
                  script.flags, script.badAckEntry, script.stopAfterBytes, script.flakyEvery);
    return Report(control.SetFaults(device, script.flags, script.badAckEntry, script.stopAfterBytes,
                                    script.flakyEvery) != FALSE,
                  what + DeviceText(device));
}

bool SetFifo(sim::Control& control, DWORD device, const Args& args)
{
    if (args.size() != 1 || !IsNumber(args[0]) || ToNumber(args[0]) < SIM_FIFO_MIN_BYTES ||
        ToNumber(args[0]) > SIM_FIFO_BYTES) {
        std::printf("usage: simctl fifo <bytes, %u to %u> [dev]\n", SIM_FIFO_MIN_BYTES, SIM_FIFO_BYTES);
        return false;
    }
    return Report(control.SetFifoSize(device, ToNumber(args[0])) != FALSE,
                  "fifo of " + args[0] + " bytes on " + DeviceText(device));
}

bool Unplug(sim::Control& control, DWORD device, const Args&)
{
    return Report(control.SetPlugged(device, FALSE) != FALSE, "unplug " + DeviceText(device));
}

bool Plug(sim::Control& control, DWORD device, const Args&)
{
    return Report(control.SetPlugged(device, TRUE) != FALSE, "plug " + DeviceText(device));
}

bool Present(const Args& args)
{
    if (args.size() != 2 || !IsNumber(args[0]) || (args[1] != "0" && args[1] != "1")) {
        std::printf("usage: simctl present <dev> <0|1>\n");
        return false;
    }
    const DWORD device = ToNumber(args[0]);
    return Report(sim::SetInterfacePresent(device, args[1] == "1") != FALSE,
                  "interface of " + DeviceText(device) + (args[1] == "1" ? " present" : " absent"));
}

bool PrintLog(sim::Control& control, DWORD device, const Args&)
{
    std::vector<sim::LogRecord> records;
    if (!Report(control.GetLog(device, records) != FALSE, "log of " + DeviceText(device)))
        return false;
    const std::vector<std::string> lines = sim::DescribeLog(records);
    for (size_t i = 0; i < lines.size(); ++i) {
        const bool truncated = records[i].type == SIM_LOG_WRITE && records[i].length > SIM_LOG_MAX_BYTES;
        std::printf("  %4u  %s%s\n", static_cast<unsigned>(i), lines[i].c_str(), truncated ? " ..." : "");
    }
    return true;
}

bool ClearLog(sim::Control& control, DWORD device, const Args&)
{
    return Report(control.ClearLog(device) != FALSE, "clear log of " + DeviceText(device));
}

bool Reset(sim::Control& control, DWORD device, const Args&)
{
    return Report(control.ResetState(device) != FALSE, "power-on reset of " + DeviceText(device));
}

bool ReadRecording(const std::string& path, std::vector<BYTE>& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= SIM_REPLAY_MAX_BYTES;
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = bytes.empty() || (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) &&
                               got == bytes.size());
    }
    CloseHandle(file);
    return ok;
}

bool Replay(sim::Control& control, DWORD device, const Args& args)
{
    const bool loop = args.size() == 2 && args[1] == "--loop";
    if (args.empty() || args.size() > 2 || (args.size() == 2 && !loop)) {
        std::printf("usage: simctl replay <file|off> [--loop] [dev]\n");
        return false;
    }
    std::vector<BYTE> recording;
    if (args[0] != "off" && !ReadRecording(args[0], recording)) {
        std::printf("cannot read %s (at most %u bytes)\n", args[0].c_str(), SIM_REPLAY_MAX_BYTES);
        return false;
    }
    const std::string what = args[0] == "off" ? "pattern" : "replay of " + std::to_string(recording.size()) +
                                                                " bytes" + (loop ? ", looped," : "");
    return Report(control.SetReplay(device, recording, loop) != FALSE, what + " on " + DeviceText(device));
}

void PrintUsage()
{
    std::printf("usage: simctl install [driver.sys] | start | status [dev] | rate <pps|flat> [dev]\n"
                "       | fault <none|noquery|badack=N|once|nosync|silent=N|nomarkers|still|zeroreads\n"
                "               |holdreads|holdreset|refusestart|shortquery|badsync|noack=N|overlong\n"
                "               |flaky=N|carry|singleread|busylate>... [dev]\n"
                "       | fifo <bytes> [dev] | unplug [dev] | plug [dev] | present <dev> <0|1> | log [dev] | clearlog [dev]\n"
                "       | reset [dev] | replay <file|off> [--loop] [dev]\n");
}

bool Run(const std::string& command, const Args& args)
{
    if (command == "install")
        return Install(args);
    if (command == "start")
        return Start(args);
    if (command == "present")
        return Present(args);
    if (command == "status")
        return WithControl(PrintStatus, args);
    if (command == "rate")
        return WithControl(SetRate, args, 1);
    if (command == "fault")
        return FaultWordsKnown(args) && WithControl(SetFaults, args);
    if (command == "fifo")
        return WithControl(SetFifo, args, 1);
    if (command == "unplug")
        return WithControl(Unplug, args);
    if (command == "plug")
        return WithControl(Plug, args);
    if (command == "log")
        return WithControl(PrintLog, args);
    if (command == "clearlog")
        return WithControl(ClearLog, args);
    if (command == "reset")
        return WithControl(Reset, args);
    if (command == "replay")
        return WithControl(Replay, args, 1);
    PrintUsage();
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        PrintUsage();
        return kExitFailed;
    }
    const Args args(argv + 2, argv + argc);
    return Run(argv[1], args) ? kExitOk : kExitFailed;
}

#include "app/capture_problem.h"

#include <cstdio>

#include "device/capture_session.h"
#include "stream/stream_format.h"

const char* const CAPTURE_FILE_NAME = CAPTURE_FILE_PATH;

std::string SystemErrorText(DWORD error)
{
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text = length ? std::string(buffer, length) : std::string();
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    for (char& c : text) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    if (text.empty()) {
        char code[32];
        std::snprintf(code, sizeof(code), "system error %lu", static_cast<unsigned long>(error));
        text = code;
    }
    return text;
}

std::string GroupedNumber(ULONGLONG value)
{
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

namespace {

std::string FileHolds(ULONGLONG bytes)
{
    return std::string(CAPTURE_FILE_NAME) + " holds the first " + GroupedNumber(bytes) + " bytes of this capture.";
}

} // namespace

std::string DescribeCaptureProblem(const CaptureProblem& problem)
{
    switch (problem.kind) {
    case CaptureProblem::FILE_NOT_CREATED:
        return std::string(CAPTURE_FILE_NAME) + " cannot be created: " + SystemErrorText(problem.error) +
               ".\n\nThe picture is shown, but nothing is recorded. Recording needs the right to write to "
               "the root of drive C: (run Orlavent as administrator), and no other program may hold " +
               CAPTURE_FILE_NAME + " open.";
    case CaptureProblem::RECORDING_FAILED: {
        const std::string reason =
            problem.error ? SystemErrorText(problem.error) : std::string("the disk could not keep up with the stream");
        return std::string("Recording to ") + CAPTURE_FILE_NAME + " stopped: " + reason + ".\n\n" +
               FileHolds(problem.fileBytes) + " The picture goes on; nothing more is recorded.";
    }
    case CaptureProblem::DEVICE_NOT_ANSWERING: {
        std::string text = "The device stopped answering: nothing has come from it for " +
                           std::to_string(SILENCE_TOLD_MS / 1000) + " seconds";
        if (problem.error)
            text += " (" + SystemErrorText(problem.error) + ")";
        text += ".\n\n";
        if (problem.bRecording)
            text += FileHolds(problem.fileBytes) + " ";
        return text + "The capture goes on, and records again if the device comes back. Otherwise press Stop, "
                      "check the device and its cable, then Device Connect.";
    }
    case CaptureProblem::BYTES_LOST: {
        std::string text = "The device lost bytes: picture " + GroupedNumber(problem.pictures) +
                           " of this capture came damaged (the computer did not read the device in time, or "
                           "the device's buffer overflowed).\n\n";
        if (problem.bRecording)
            text += std::string(CAPTURE_FILE_NAME) + " holds the stream as it came, damaged pictures included. ";
        return text + "The capture goes on; this is told once per capture.";
    }
    case CaptureProblem::NOT_STARTED:
        return "The capture could not be started: " + SystemErrorText(problem.error) +
               ".\n\nNothing is shown or recorded. Close other programs, then press Show Image again.";
    }
    return std::string();
}

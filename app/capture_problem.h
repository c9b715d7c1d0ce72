// capture_problem.h - what the operator is told when a capture's recording
// fails or its device stops answering.
#pragma once

#include <string>

#include "device/image_device.h"

// The capture file's name as the operator knows it.
extern const char* const CAPTURE_FILE_NAME;

// The message box text: what happened, the system's reason, what the
// capture file holds and what to do.
std::string DescribeCaptureProblem(const CaptureProblem& problem);

// The system's text for a Win32 error code, one line, without the final
// full stop; the code itself when the system has no text.
std::string SystemErrorText(DWORD error);

// 1234567 as "1,234,567".
std::string GroupedNumber(ULONGLONG value);

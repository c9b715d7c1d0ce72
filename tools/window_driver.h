// window_driver.h - drives dialogs from another thread or another process
// through window messages, as an operator would: find a dialog by its
// caption, click its buttons, read and type texts, answer message boxes,
// press Enter or Escape, use the close box.
//
// Clicks, keys and answers are posted, never sent, so a handler that opens
// a modal message box cannot block the caller. Nothing here asserts: each
// call returns what it found, and the caller decides what is a failure.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace window_driver {

// Long enough for a start sequence (32 settled register writes) and for a
// reader to stop, short enough that a hang fails a test quickly.
constexpr DWORD DEFAULT_WAIT_MS = 5000;

// Any process, for FindDialog and friends.
constexpr DWORD ANY_PROCESS = 0;

// The visible top-level dialog (class "#32770") with exactly this caption,
// of process `processId` (ANY_PROCESS: any), or nullptr.
HWND FindDialog(const char* caption, DWORD processId = ANY_PROCESS);

// FindDialog, retried until it finds one or timeoutMs passes.
HWND WaitForDialog(const char* caption, DWORD timeoutMs = DEFAULT_WAIT_MS, DWORD processId = ANY_PROCESS);

// TRUE once the window no longer exists or is hidden.
bool WaitUntilGone(HWND hwnd, DWORD timeoutMs = DEFAULT_WAIT_MS);

// Posts the click of a push button (WM_COMMAND, BN_CLICKED) to its dialog.
// Works for hidden buttons too, as a command would.
bool Click(HWND dialog, int controlId);

// The text of a window or control; empty if it cannot be read within
// timeoutMs (the owning thread is busy) or the window is gone.
std::string WindowText(HWND hwnd, DWORD timeoutMs = DEFAULT_WAIT_MS);
std::string ControlText(HWND dialog, int controlId, DWORD timeoutMs = DEFAULT_WAIT_MS);
bool SetControlText(HWND dialog, int controlId, const char* text, DWORD timeoutMs = DEFAULT_WAIT_MS);

// Polls until the control's text equals `text`.
bool WaitForControlText(HWND dialog, int controlId, const char* text, DWORD timeoutMs = DEFAULT_WAIT_MS);

// A message box as the operator sees it.
struct MessageBoxView {
    HWND hwnd = nullptr;
    HWND owner = nullptr; // the window it belongs to
    std::string text;
    // MB_ICONERROR, MB_ICONINFORMATION, MB_ICONWARNING or MB_ICONQUESTION;
    // 0 when it cannot be told (icons of another process cannot be compared).
    UINT icon = 0;
    std::vector<int> buttons; // ids of its visible buttons, in window order
};

MessageBoxView ReadMessageBox(HWND box);

// Posts a button press (IDOK, IDCANCEL ...) to a message box.
bool AnswerMessageBox(HWND box, int buttonId = IDOK);

// Waits for the message box with this caption, reads it, answers IDOK and
// waits until it has gone. hwnd is nullptr in the result if none came.
MessageBoxView AcknowledgeMessageBox(const char* caption, DWORD timeoutMs = DEFAULT_WAIT_MS,
                                     DWORD processId = ANY_PROCESS);

// The control that has the keyboard focus in the dialog's thread.
HWND FocusedControl(HWND dialog);

// Posts a key press and release to the focused control (to the dialog if
// nothing has the focus), where the dialog manager handles Enter and
// Escape as it does for typed keys.
bool PostKey(HWND dialog, UINT virtualKey);

// The close box: WM_SYSCOMMAND with SC_CLOSE.
bool PostClose(HWND dialog);

// Returns once the window's thread retrieves messages again, that is once
// the handler it is running has returned or waits in a nested message loop
// (a message box). Sent messages overtake posted ones: a click posted just
// before may still be waiting, so wait for its effect instead.
bool Sync(HWND hwnd, DWORD timeoutMs = DEFAULT_WAIT_MS);

} // namespace window_driver

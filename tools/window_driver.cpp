#include "tools/window_driver.h"

namespace window_driver {

namespace {

const char DIALOG_CLASS[] = "#32770";
constexpr int CLASS_NAME_MAX = 64;
constexpr DWORD POLL_INTERVAL_MS = 10;
// Texts the driver reads are captions and short numbers.
constexpr int TEXT_MAX = 256;
// The text static of a message box.
constexpr int MESSAGE_BOX_TEXT_ID = 0xFFFF;

struct DialogSearch {
    const char* caption;
    DWORD processId;
    HWND found;
};

bool IsDialogClass(HWND hwnd)
{
    char className[CLASS_NAME_MAX] = {};
    GetClassNameA(hwnd, className, CLASS_NAME_MAX);
    return lstrcmpA(className, DIALOG_CLASS) == 0;
}

bool BelongsTo(HWND hwnd, DWORD processId)
{
    if (processId == ANY_PROCESS)
        return true;
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    return owner == processId;
}

// The caption as the system stores it, without WM_GETTEXT (which
// GetWindowText sends within a process), so a busy thread cannot stall a
// search.
std::string StoredCaption(HWND hwnd)
{
    WCHAR wide[TEXT_MAX] = {};
    InternalGetWindowText(hwnd, wide, TEXT_MAX);
    char text[TEXT_MAX] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, TEXT_MAX, nullptr, nullptr);
    return text;
}

BOOL CALLBACK MatchDialog(HWND hwnd, LPARAM param)
{
    auto* search = reinterpret_cast<DialogSearch*>(param);
    if (!IsWindowVisible(hwnd) || !IsDialogClass(hwnd) || !BelongsTo(hwnd, search->processId))
        return TRUE;
    if (StoredCaption(hwnd) != search->caption)
        return TRUE;
    search->found = hwnd;
    return FALSE;
}

BOOL CALLBACK MatchIconStatic(HWND hwnd, LPARAM param)
{
    char className[CLASS_NAME_MAX] = {};
    GetClassNameA(hwnd, className, CLASS_NAME_MAX);
    if (lstrcmpiA(className, "Static") == 0 && (GetWindowLongA(hwnd, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        *reinterpret_cast<HWND*>(param) = hwnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectButton(HWND hwnd, LPARAM param)
{
    char className[CLASS_NAME_MAX] = {};
    GetClassNameA(hwnd, className, CLASS_NAME_MAX);
    if (lstrcmpiA(className, "Button") == 0 && IsWindowVisible(hwnd))
        reinterpret_cast<std::vector<int>*>(param)->push_back(GetDlgCtrlID(hwnd));
    return TRUE;
}

// Compares the box's icon with the system icons as this process loads
// them: equal handles only within one process.
UINT IconKind(HWND box)
{
    HWND iconStatic = nullptr;
    EnumChildWindows(box, MatchIconStatic, reinterpret_cast<LPARAM>(&iconStatic));
    if (!iconStatic)
        return 0;
    DWORD_PTR icon = 0;
    if (!SendMessageTimeoutA(iconStatic, STM_GETICON, 0, 0, SMTO_NORMAL, DEFAULT_WAIT_MS, &icon) || icon == 0)
        return 0;
    struct Known {
        LPCSTR resource;
        UINT kind;
    };
    const Known known[] = {
        {IDI_HAND, MB_ICONERROR},
        {IDI_ASTERISK, MB_ICONINFORMATION},
        {IDI_EXCLAMATION, MB_ICONWARNING},
        {IDI_QUESTION, MB_ICONQUESTION},
    };
    for (const Known& k : known) {
        if (reinterpret_cast<DWORD_PTR>(LoadIconA(nullptr, k.resource)) == icon)
            return k.kind;
    }
    return 0;
}

LPARAM KeyData(UINT virtualKey, bool release)
{
    const LPARAM scanCode = static_cast<LPARAM>(MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC));
    LPARAM data = 1 | (scanCode << 16); // one repeat
    if (release)
        data |= (1L << 30) | (1L << 31); // was down, is being released
    return data;
}

} // namespace

HWND FindDialog(const char* caption, DWORD processId)
{
    DialogSearch search = {caption, processId, nullptr};
    EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForDialog(const char* caption, DWORD timeoutMs, DWORD processId)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND found = FindDialog(caption, processId))
            return found;
        if (GetTickCount() - start >= timeoutMs)
            return nullptr;
        Sleep(POLL_INTERVAL_MS);
    }
}

bool WaitUntilGone(HWND hwnd, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (IsWindow(hwnd) && IsWindowVisible(hwnd)) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(POLL_INTERVAL_MS);
    }
    return true;
}

bool Click(HWND dialog, int controlId)
{
    if (!IsWindow(dialog))
        return false;
    const HWND control = GetDlgItem(dialog, controlId);
    return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED), reinterpret_cast<LPARAM>(control)) != 0;
}

std::string WindowText(HWND hwnd, DWORD timeoutMs)
{
    if (!IsWindow(hwnd))
        return std::string();
    char text[TEXT_MAX] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, TEXT_MAX, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, timeoutMs,
                             &copied))
        return std::string();
    return std::string(text, copied < TEXT_MAX ? copied : 0);
}

std::string ControlText(HWND dialog, int controlId, DWORD timeoutMs)
{
    if (!IsWindow(dialog))
        return std::string();
    return WindowText(GetDlgItem(dialog, controlId), timeoutMs);
}

bool SetControlText(HWND dialog, int controlId, const char* text, DWORD timeoutMs)
{
    const HWND control = IsWindow(dialog) ? GetDlgItem(dialog, controlId) : nullptr;
    if (!control)
        return false;
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, timeoutMs,
                               &result) != 0 &&
           result != 0;
}

bool WaitForControlText(HWND dialog, int controlId, const char* text, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs || !IsWindow(dialog))
            return false;
        if (ControlText(dialog, controlId, timeoutMs - elapsed) == text)
            return true;
        Sleep(POLL_INTERVAL_MS);
    }
}

MessageBoxView ReadMessageBox(HWND box)
{
    MessageBoxView view;
    if (!IsWindow(box))
        return view;
    view.hwnd = box;
    view.owner = GetWindow(box, GW_OWNER);
    view.text = ControlText(box, MESSAGE_BOX_TEXT_ID);
    view.icon = IconKind(box);
    EnumChildWindows(box, CollectButton, reinterpret_cast<LPARAM>(&view.buttons));
    return view;
}

bool AnswerMessageBox(HWND box, int buttonId)
{
    return Click(box, buttonId);
}

MessageBoxView AcknowledgeMessageBox(const char* caption, DWORD timeoutMs, DWORD processId)
{
    const HWND box = WaitForDialog(caption, timeoutMs, processId);
    MessageBoxView view = ReadMessageBox(box);
    if (box && (!AnswerMessageBox(box, IDOK) || !WaitUntilGone(box, timeoutMs)))
        view.hwnd = nullptr;
    return view;
}

HWND FocusedControl(HWND dialog)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    const DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
    if (thread == 0 || !GetGUIThreadInfo(thread, &info))
        return nullptr;
    return info.hwndFocus;
}

bool PostKey(HWND dialog, UINT virtualKey)
{
    if (!IsWindow(dialog))
        return false;
    HWND target = FocusedControl(dialog);
    if (!target)
        target = dialog;
    return PostMessageA(target, WM_KEYDOWN, virtualKey, KeyData(virtualKey, false)) &&
           PostMessageA(target, WM_KEYUP, virtualKey, KeyData(virtualKey, true));
}

bool PostClose(HWND dialog)
{
    return IsWindow(dialog) && PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
}

bool Sync(HWND hwnd, DWORD timeoutMs)
{
    DWORD_PTR result = 0;
    return IsWindow(hwnd) && SendMessageTimeoutA(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &result) != 0;
}

} // namespace window_driver

#include "tests/test_support.h"

namespace testing_support {

std::string ProgramFolder()
{
    char path[MAX_PATH] = {};
    const std::string file(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    return file.substr(0, file.find_last_of("\\/") + 1);
}

bool ReadWholeFile(const char* path, std::vector<BYTE>& bytes)
{
    bytes.clear();
    HANDLE hFile = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    BYTE block[65536];
    DWORD got = 0;
    while (ReadFile(hFile, block, sizeof(block), &got, nullptr) && got > 0)
        bytes.insert(bytes.end(), block, block + got);
    CloseHandle(hFile);
    return true;
}

ULONGLONG Fnv1a(const BYTE* data, size_t size, ULONGLONG hash)
{
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * SIM_FNV_PRIME;
    return hash;
}

::testing::AssertionResult CountersAddUp(const SIM_STATUS& s)
{
    const ULONGLONG in = s.bytesMade + s.bytesReplied;
    const ULONGLONG out = s.bytesDelivered + s.overflowBytes + s.bytesLost + s.bytesDropped + s.bytesBuffered;
    if (in == out)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "made " << s.bytesMade << " + replied " << s.bytesReplied << " != delivered "
                                         << s.bytesDelivered << " + overflow " << s.overflowBytes << " + lost "
                                         << s.bytesLost << " + dropped " << s.bytesDropped << " + buffered "
                                         << s.bytesBuffered;
}

int RunProgram(const std::string& program, const std::string& arguments, std::string* output)
{
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string outPath = std::string(folder) + "orlavent-test-output.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError =
        CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    PROCESS_INFORMATION process = {};
    std::string line = "\"" + ProgramFolder() + program + "\" " + arguments;
    DWORD code = static_cast<DWORD>(-1);
    if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(startup.hStdOutput);
    std::vector<BYTE> text;
    if (output && ReadWholeFile(outPath.c_str(), text))
        output->assign(text.begin(), text.end());
    DeleteFileA(outPath.c_str());
    return static_cast<int>(code);
}

CTestWindow::CTestWindow(int width, int height, COLORREF background)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "OrlaventTestWindow";
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    RegisterClassA(&wc); // a second registration fails harmlessly
    m_hwnd = CreateWindowExA(0, wc.lpszClassName, "test", WS_POPUP | WS_VISIBLE, 0, 0, width, height, nullptr,
                             nullptr, wc.hInstance, nullptr);
    RECT rc;
    GetClientRect(m_hwnd, &rc);
    HDC hdc = GetDC(m_hwnd);
    HBRUSH brush = CreateSolidBrush(background);
    FillRect(hdc, &rc, brush);
    DeleteObject(brush);
    ReleaseDC(m_hwnd, hdc);
}

CClientPixels::CClientPixels(HWND hwnd, bool bOnScreen)
{
    RECT rc;
    GetClientRect(hwnd, &rc);
    m_width = rc.right;
    m_height = rc.bottom;
    m_pixels.assign(static_cast<size_t>(m_width) * m_height, 0);
    POINT origin = {0, 0};
    if (bOnScreen)
        ClientToScreen(hwnd, &origin);
    const HWND hSource = bOnScreen ? nullptr : hwnd;
    const HDC source = GetDC(hSource);
    BITMAPINFO info = {};
    info.bmiHeader = BITMAPINFOHEADER{sizeof(info.bmiHeader), m_width, -m_height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HDC memory = CreateCompatibleDC(source);
    void* bits = nullptr;
    HBITMAP section = CreateDIBSection(source, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, section);
    BitBlt(memory, 0, 0, m_width, m_height, source, origin.x, origin.y, SRCCOPY);
    GdiFlush();
    CopyMemory(m_pixels.data(), bits, m_pixels.size() * sizeof(DWORD));
    SelectObject(memory, old);
    DeleteObject(section);
    DeleteDC(memory);
    ReleaseDC(hSource, source);
}

COLORREF CClientPixels::At(int x, int y) const
{
    const DWORD rgb = m_pixels[static_cast<size_t>(y) * m_width + x];
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

std::vector<BYTE> MagnifiedPicture(const CClientPixels& pixels, int& strays)
{
    constexpr int WIDTH = 128, HEIGHT = 96, SCALE = 4;
    std::vector<BYTE> picture(WIDTH * HEIGHT);
    strays = 0;
    for (int y = 0; y < pixels.Height() && y < HEIGHT * SCALE; ++y)
        for (int x = 0; x < pixels.Width() && x < WIDTH * SCALE; ++x) {
            const COLORREF c = pixels.At(x, y);
            BYTE& grey = picture[(y / SCALE) * WIDTH + x / SCALE];
            if (x % SCALE == 0 && y % SCALE == 0)
                grey = GetRValue(c);
            if (c != RGB(grey, grey, grey))
                ++strays;
        }
    return picture;
}

} // namespace testing_support

void SimTest::SetUp()
{
    ASSERT_TRUE(m_sim.IsOpen()) << "the simulated sensor's control device does not open";
    for (DWORD device = 0; device < SIM_MAX_DEVICES; ++device)
        ASSERT_TRUE(m_sim.ResetState(device));
    ASSERT_TRUE(sim::SetInterfacePresent(0, TRUE));
    ASSERT_TRUE(sim::SetInterfacePresent(1, FALSE));
}

void SimTest::TearDown()
{
    for (DWORD device = 0; device < SIM_MAX_DEVICES; ++device)
        m_sim.ResetState(device);
    // A test that made the capture file's path a folder and failed before
    // removing it would break every later capture.
    RemoveDirectoryA("C:\\1.txt");
}

SIM_STATUS SimTest::Status(DWORD device)
{
    SIM_STATUS status = {};
    EXPECT_TRUE(m_sim.GetStatus(device, status));
    return status;
}

std::vector<std::string> SimTest::Log(DWORD device)
{
    std::vector<sim::LogRecord> records;
    EXPECT_TRUE(m_sim.GetLog(device, records));
    return sim::DescribeLog(records);
}

namespace testing_support {

std::vector<BYTE> StartSequenceReplies()
{
    std::vector<BYTE> replies(32, 0x10);
    replies.push_back(0x3F);
    return replies;
}

::testing::AssertionResult DeliveredAround(const std::vector<BYTE>& file, const SIM_STATUS& status,
                                           const std::vector<BYTE>& before, const std::vector<BYTE>& after)
{
    const ULONGLONG hash = Fnv1a(after.data(), after.size(),
                             Fnv1a(file.data(), file.size(), Fnv1a(before.data(), before.size())));
    if (status.bytesDelivered == before.size() + file.size() + after.size() && status.deliveredHash == hash)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << file.size() << " bytes recorded are not the stream delivered ("
                                         << status.bytesDelivered << " bytes in all)";
}

} // namespace testing_support

#include "tests/window_capture.h"

namespace testing_support {

namespace {

const char TEST_WINDOW_CLASS[] = "OrlaventTestWindow";

void RegisterTestWindowClass()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = TEST_WINDOW_CLASS;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    RegisterClassA(&wc); // a second registration fails harmlessly
}

} // namespace

CTestWindow::CTestWindow(int width, int height)
{
    RegisterTestWindowClass();
    m_hwnd = CreateWindowExA(0, TEST_WINDOW_CLASS, "test", WS_POPUP | WS_VISIBLE, 0, 0, width, height,
                             nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

CTestWindow::~CTestWindow()
{
    if (m_hwnd)
        DestroyWindow(m_hwnd);
}

void CTestWindow::Clear(COLORREF colour)
{
    RECT rc;
    GetClientRect(m_hwnd, &rc);
    HDC hdc = GetDC(m_hwnd);
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(hdc, &rc, brush);
    DeleteObject(brush);
    ReleaseDC(m_hwnd, hdc);
}

CClientPixels::CClientPixels(HWND hwnd)
{
    RECT rc;
    GetClientRect(hwnd, &rc);
    m_width = rc.right;
    m_height = rc.bottom;
    m_pixels.assign(static_cast<size_t>(m_width) * m_height, 0);

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = m_width;
    info.bmiHeader.biHeight = -m_height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;

    HDC hdc = GetDC(hwnd);
    HDC memory = CreateCompatibleDC(hdc);
    void* bits = nullptr;
    HBITMAP section = CreateDIBSection(hdc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, section);
    BitBlt(memory, 0, 0, m_width, m_height, hdc, 0, 0, SRCCOPY);
    GdiFlush();
    CopyMemory(m_pixels.data(), bits, m_pixels.size() * sizeof(DWORD));
    SelectObject(memory, old);
    DeleteObject(section);
    DeleteDC(memory);
    ReleaseDC(hwnd, hdc);
}

COLORREF CClientPixels::At(int x, int y) const
{
    const DWORD rgb = m_pixels[static_cast<size_t>(y) * m_width + x] & 0xFFFFFF;
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

} // namespace testing_support

// window_capture.h - test windows and reading back what was painted.
#pragma once

#include <windows.h>

#include <vector>

namespace testing_support {

// A visible popup window with a client area of width x height pixels,
// destroyed with the object.
class CTestWindow {
public:
    CTestWindow(int width, int height);
    ~CTestWindow();
    CTestWindow(const CTestWindow&) = delete;
    CTestWindow& operator=(const CTestWindow&) = delete;

    HWND Get() const { return m_hwnd; }

    // Fills the client area with one colour.
    void Clear(COLORREF colour);

private:
    HWND m_hwnd;
};

// The client area's pixels as 0x00RRGGBB, row-major, top row first.
class CClientPixels {
public:
    explicit CClientPixels(HWND hwnd);

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    // As COLORREF (0x00BBGGRR), to compare with RGB().
    COLORREF At(int x, int y) const;

private:
    int m_width = 0;
    int m_height = 0;
    std::vector<DWORD> m_pixels;
};

} // namespace testing_support

// Drawing surfaces for the tests of painting code.
#pragma once
#include <windows.h>

// A 32-bit top-down DIB to draw into, pre-filled with a colour nothing uses,
// to see what a paint touched.
class Canvas {
public:
    static constexpr COLORREF kUntouched = RGB(255, 0, 255);
    Canvas(int w, int h) : m_w(w), m_h(h)
    {
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = -h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        dc = CreateCompatibleDC(nullptr);
        m_bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, (void**)&m_bits, nullptr, 0);
        m_old = SelectObject(dc, m_bitmap);
        for (int i = 0; i < w * h; ++i)
            m_bits[i] = 0xFF00FF;
    }
    ~Canvas()
    {
        SelectObject(dc, m_old);
        DeleteObject(m_bitmap);
        DeleteDC(dc);
    }
    COLORREF At(int x, int y) const
    {
        GdiFlush();
        DWORD p = m_bits[y * m_w + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    int Touched() const
    {
        GdiFlush();
        int n = 0;
        for (int i = 0; i < m_w * m_h; ++i)
            n += (m_bits[i] & 0xFFFFFF) != 0xFF00FF;
        return n;
    }
    int Count(COLORREF c) const
    {
        int n = 0;
        for (int y = 0; y < m_h; ++y)
            for (int x = 0; x < m_w; ++x)
                n += At(x, y) == c;
        return n;
    }
    // The longest horizontal run of one colour: an underline is a long one.
    int LongestRun(COLORREF c) const
    {
        int best = 0;
        for (int y = 0; y < m_h; ++y) {
            int run = 0;
            for (int x = 0; x < m_w; ++x) {
                run = At(x, y) == c ? run + 1 : 0;
                best = run > best ? run : best;
            }
        }
        return best;
    }
    HDC dc;
    int m_w, m_h;

private:
    DWORD* m_bits = nullptr;
    HBITMAP m_bitmap;
    HGDIOBJ m_old;
};

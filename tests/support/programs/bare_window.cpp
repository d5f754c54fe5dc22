// Benchmark reference: the least a Win32 program does to put a window of the
// installer's size on screen, so that tools/bench can give the installer's
// start-up as a ratio to it on the same machine and Wine. Its class carries
// the prefix the driver looks for; it runs until it is killed or closed.
#include <windows.h>

static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = "Zembrio:bare";
    if (!RegisterClassA(&wc))
        return 1;
    // The installer's page size, centred on the work area as it places it.
    const int width = 524, height = 338;
    RECT work;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "Bare window", WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX,
                                work.left + (work.right - work.left - width) / 2,
                                work.top + (work.bottom - work.top - height) / 2, width, height, nullptr, nullptr,
                                instance, nullptr);
    if (!hwnd)
        return 1;
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}

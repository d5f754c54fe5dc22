// Test aid: posts WM_COMMAND <id> to the top-level window with the given
// title, waiting up to the given seconds for it to appear. With a control id
// and "check", ticks that check box first. Exit 0 posted, 1 no window,
// 2 bad command line.
//   post_command.exe "Zembrio Installer" 32780 [10]
//   post_command.exe "Zembrio Installer" 32783 [10] check
#include <windows.h>
#include <cstdlib>
#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc < 3)
        return 2;
    const char* title = __argv[1];
    int id = atoi(__argv[2]);
    int seconds = __argc > 3 ? atoi(__argv[3]) : 10;
    bool check = __argc > 4 && strcmp(__argv[4], "check") == 0;
    HWND wnd = nullptr;
    for (int waited = 0; !(wnd = FindWindowA(nullptr, title)) && waited < seconds * 10; waited++)
        Sleep(100);
    if (!wnd)
        return 1;
    if (check) {
        HWND box = GetDlgItem(wnd, id);
        if (box)
            SendMessageA(box, BM_SETCHECK, BST_CHECKED, 0);
    }
    PostMessageA(wnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), check ? (LPARAM)GetDlgItem(wnd, id) : 0);
    return 0;
}

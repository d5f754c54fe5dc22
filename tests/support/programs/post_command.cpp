// Test aid: posts WM_COMMAND <id> to the top-level window with the given
// title, waiting up to the given seconds for it to appear. With a control id
// and "check", ticks that check box first. Exit 0 posted, 1 no window,
// 2 bad command line. With a file name, the texts of the window's children
// (a message box's text, for example) are written there first, one a line.
//   post_command.exe Zembrio 32780 [10]
//   post_command.exe Zembrio 32783 10 check
//   post_command.exe "Zembrio Installer" 1 10 - C:\texts.txt
#include <windows.h>
#include <cstdlib>
#include <cstdio>
#include <cstring>

static BOOL CALLBACK WriteText(HWND child, LPARAM file)
{
    char text[1024] = "";
    GetWindowTextA(child, text, sizeof text);
    fprintf((FILE*)file, "%s\n", text);
    return TRUE;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc < 3)
        return 2;
    // "class|title" names the window class too (a message box is "#32770").
    char target[512];
    lstrcpynA(target, __argv[1], sizeof target);
    char* bar = strchr(target, '|');
    const char* cls = bar ? target : nullptr;
    const char* title = bar ? bar + 1 : target;
    if (bar)
        *bar = 0;
    int id = atoi(__argv[2]);
    int seconds = __argc > 3 ? atoi(__argv[3]) : 10;
    bool check = __argc > 4 && strcmp(__argv[4], "check") == 0;
    HWND wnd = nullptr;
    for (int waited = 0; !(wnd = FindWindowA(cls, title)) && waited < seconds * 10; waited++)
        Sleep(100);
    if (!wnd)
        return 1;
    if (__argc > 5) {
        FILE* out = fopen(__argv[5], "w");
        if (out) {
            EnumChildWindows(wnd, WriteText, (LPARAM)out);
            fclose(out);
        }
    }
    if (check) {
        HWND box = GetDlgItem(wnd, id);
        if (box)
            SendMessageA(box, BM_SETCHECK, BST_CHECKED, 0);
    }
    PostMessageA(wnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), check ? (LPARAM)GetDlgItem(wnd, id) : 0);
    return 0;
}

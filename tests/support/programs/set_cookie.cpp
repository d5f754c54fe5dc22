// Test aid: stores a persistent cookie in the WinINet cookie store, as a
// visit to the web site would. Exit 0 stored, 1 refused, 2 bad command line.
//   set_cookie.exe http://127.0.0.1/ name "value; expires=Thu, 31-Dec-2099 23:59:59 GMT"
#include <windows.h>
#include <wininet.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc != 4)
        return 2;
    return InternetSetCookieA(__argv[1], __argv[2], __argv[3]) ? 0 : 1;
}

/* The installer's shell-folder library: SHGetFolderPathA, answered by the
   system's shell. A separate DLL so the installer can carry it and load it
   from its working folder like the platform's redistributable. */
#include <windows.h>

typedef HRESULT(WINAPI* GetFolderPathProc)(HWND, int, HANDLE, DWORD, LPSTR);

__declspec(dllexport) HRESULT WINAPI SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path)
{
    GetFolderPathProc shell = (GetFolderPathProc)GetProcAddress(LoadLibraryA("shell32.dll"), "SHGetFolderPathA");
    if (!shell)
        return E_NOTIMPL;
    return shell(owner, folder, token, flags, path);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

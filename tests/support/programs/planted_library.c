/* A library planted beside the installer under a system library's name
   (version.dll, wininet.dll): loading it leaves "<its path>.loaded", and a
   call of one of the version functions the installer reads its own version
   with leaves "<its path>.used", so a test sees whether the installer ever
   took it instead of the system's. The version functions are passed on to
   the system's copy, so a program bound to this one still works. */
/* Lean: the version functions are defined here, not imported. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

static void LeaveMarker(HINSTANCE instance, const char* suffix)
{
    char path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
    HANDLE marker;
    if (length == 0 || length >= MAX_PATH)
        return;
    lstrcpyA(path + length, suffix);
    marker = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker != INVALID_HANDLE_VALUE)
        CloseHandle(marker);
}

static HINSTANCE g_self;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        g_self = instance;
        LeaveMarker(instance, ".loaded");
    }
    return TRUE;
}

#ifdef PLANTED_VERSION
static FARPROC SystemFunction(const char* name)
{
    static HMODULE system;
    char path[MAX_PATH + 16];
    UINT length;
    if (!system) {
        length = GetSystemDirectoryA(path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return NULL;
        lstrcpyA(path + length, "\\version.dll");
        system = LoadLibraryA(path);
    }
    if (!system) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    return GetProcAddress(system, name);
}

typedef DWORD(WINAPI* SizeProc)(const void*, DWORD*);
typedef BOOL(WINAPI* InfoProc)(const void*, DWORD, DWORD, void*);
typedef BOOL(WINAPI* QueryProc)(const void*, const void*, void**, UINT*);

__declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR file, LPDWORD handle)
{
    SizeProc function = (SizeProc)(void (*)(void))SystemFunction("GetFileVersionInfoSizeA");
    LeaveMarker(g_self, ".used");
    return function ? function(file, handle) : 0;
}

__declspec(dllexport) BOOL WINAPI GetFileVersionInfoA(LPCSTR file, DWORD handle, DWORD size, LPVOID data)
{
    InfoProc function = (InfoProc)(void (*)(void))SystemFunction("GetFileVersionInfoA");
    LeaveMarker(g_self, ".used");
    return function ? function(file, handle, size, data) : FALSE;
}

__declspec(dllexport) BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR sub, LPVOID* buffer, PUINT length)
{
    QueryProc function = (QueryProc)(void (*)(void))SystemFunction("VerQueryValueA");
    LeaveMarker(g_self, ".used");
    return function ? function(block, sub, buffer, length) : FALSE;
}

/* Wine's own user32 imports these three (Windows' does not): they only pass
   the call on. */
__declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR file, LPDWORD handle)
{
    SizeProc function = (SizeProc)(void (*)(void))SystemFunction("GetFileVersionInfoSizeW");
    return function ? function(file, handle) : 0;
}

__declspec(dllexport) BOOL WINAPI GetFileVersionInfoW(LPCWSTR file, DWORD handle, DWORD size, LPVOID data)
{
    InfoProc function = (InfoProc)(void (*)(void))SystemFunction("GetFileVersionInfoW");
    return function ? function(file, handle, size, data) : FALSE;
}

__declspec(dllexport) BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR sub, LPVOID* buffer, PUINT length)
{
    QueryProc function = (QueryProc)(void (*)(void))SystemFunction("VerQueryValueW");
    return function ? function(block, sub, buffer, length) : FALSE;
}
#endif

#include "framework/SystemLibrary.h"
#include <string>

HMODULE LoadSystemLibrary(const char* name)
{
    char folder[MAX_PATH];
    UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    return LoadLibraryA((std::string(folder, length) + "\\" + name).c_str());
}

void RestrictLibrarySearchToSystemFolder()
{
    BOOL(WINAPI * setDefault)(DWORD);
    // Looked up: kernel32 has it only from the update on.
    if (ResolveFunction(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories", setDefault))
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE SystemShell32()
{
    static HMODULE library = LoadSystemLibrary("shell32.dll");
    return library;
}

HINSTANCE ShellExecuteLate(HWND owner, const char* verb, const char* file, const char* parameters,
                           const char* folder, int show)
{
    decltype(&::ShellExecuteA) execute;
    if (!ResolveFunction(SystemShell32(), "ShellExecuteA", execute))
        return (HINSTANCE)SE_ERR_NOASSOC;
    return execute(owner, verb, file, parameters, folder, show);
}

BOOL ShellExecuteExLate(SHELLEXECUTEINFOA* info)
{
    decltype(&::ShellExecuteExA) execute;
    if (!ResolveFunction(SystemShell32(), "ShellExecuteExA", execute)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return execute(info);
}

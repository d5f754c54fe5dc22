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

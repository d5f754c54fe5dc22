/* The installer's shell-folder library: SHGetFolderPathA, answered by the
   system's shell. A separate DLL so the installer can carry it and load it
   from its working folder like the platform's redistributable.

   Windows 95, 98 and NT 4 have no SHGetFolderPathA in shell32; there the
   folders the installer asks for are found where those systems keep them.
   Every function imported here exists in their first releases: no CRT, ANSI
   only. */
#include <windows.h>
/* The header's declaration is an import; this library defines the export. */
#define SHGetFolderPathA SHGetFolderPathImportA
#include <shlobj.h>
#undef SHGetFolderPathA

typedef HRESULT(WINAPI* GetFolderPathProc)(HWND, int, HANDLE, DWORD, LPSTR);

HRESULT WINAPI SHGetFolderPathFallbackA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path);

enum FolderSource { FromShell, FromRegistry, FromSystemDirectory, FromWindowsDirectory };

static const struct {
    int csidl;
    enum FolderSource source;
    const char* value; /* under HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion */
} kFolders[] = {
    {CSIDL_PROGRAMS, FromShell, 0},
    {CSIDL_STARTUP, FromShell, 0},
    {CSIDL_DESKTOPDIRECTORY, FromShell, 0},
    {CSIDL_APPDATA, FromShell, 0},
    {CSIDL_WINDOWS, FromWindowsDirectory, 0},
    {CSIDL_SYSTEM, FromSystemDirectory, 0},
    {CSIDL_PROGRAM_FILES, FromRegistry, "ProgramFilesDir"},
    {CSIDL_PROGRAM_FILES_COMMON, FromRegistry, "CommonFilesDir"},
};

__declspec(dllexport) HRESULT WINAPI SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path)
{
    /* shell32 is loaded with this library (it imports from it), so no
       reference of our own is taken. */
    GetFolderPathProc shell = (GetFolderPathProc)GetProcAddress(GetModuleHandleA("shell32.dll"), "SHGetFolderPathA");
    if (shell)
        return shell(owner, folder, token, flags, path);
    return SHGetFolderPathFallbackA(owner, folder, token, flags, path);
}

/* The shell's own record of a per-user folder. */
static HRESULT ShellFolder(HWND owner, int csidl, LPSTR path)
{
    LPITEMIDLIST list = 0;
    IMalloc* allocator = 0;
    HRESULT hr = SHGetSpecialFolderLocation(owner, csidl, &list);
    if (FAILED(hr))
        return hr;
    if (!list)
        return E_FAIL;
    if (!SHGetPathFromIDListA(list, path))
        hr = E_FAIL;
    if (SUCCEEDED(SHGetMalloc(&allocator))) {
        allocator->lpVtbl->Free(allocator, list);
        allocator->lpVtbl->Release(allocator);
    }
    return hr;
}

static HRESULT RegistryFolder(const char* value, LPSTR path)
{
    HKEY key;
    char text[MAX_PATH];
    DWORD type = 0;
    DWORD size = MAX_PATH - 1;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                               KEY_QUERY_VALUE, &key);
    if (error != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(error);
    error = RegQueryValueExA(key, value, 0, &type, (BYTE*)text, &size);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(error);
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return E_FAIL;
    /* The stored string need not end in a zero. */
    text[size < MAX_PATH ? size : MAX_PATH - 1] = 0;
    if (type == REG_EXPAND_SZ) {
        DWORD needed = ExpandEnvironmentStringsA(text, path, MAX_PATH);
        if (!needed || needed > MAX_PATH)
            return E_FAIL;
    } else {
        lstrcpynA(path, text, MAX_PATH);
    }
    return S_OK;
}

static HRESULT DirectoryFolder(UINT(WINAPI* directory)(LPSTR, UINT), LPSTR path)
{
    UINT length = directory(path, MAX_PATH);
    if (!length || length >= MAX_PATH)
        return E_FAIL;
    return S_OK;
}

/* Where the path's last character starts; a double-byte character's second
   byte may be a backslash, so the text is walked from its start. */
static LPSTR LastCharacter(LPSTR path)
{
    LPSTR last = path;
    for (LPSTR at = path; *at; at++) {
        last = at;
        if (IsDBCSLeadByte((BYTE)*at) && at[1])
            at++;
    }
    return last;
}

/* Creates the folder and any missing folders above it. */
static BOOL CreateFolders(LPSTR path)
{
    char before = 0; /* the character before, when it is a single byte */
    for (LPSTR at = path; *at; at++) {
        if (IsDBCSLeadByte((BYTE)*at) && at[1]) {
            at++;
            before = 1;
            continue;
        }
        /* The drive's or the share's root cannot be made. */
        if (*at == '\\' && before && before != ':' && before != '\\') {
            *at = 0;
            CreateDirectoryA(path, 0);
            *at = '\\';
        }
        before = *at;
    }
    CreateDirectoryA(path, 0);
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

/* Finds the folder without shell32's SHGetFolderPathA. The token and the
   SHGFP_TYPE_* flags cannot be honoured here: per-user folders come only for
   the calling user, and always as they are now. */
__declspec(dllexport) HRESULT WINAPI SHGetFolderPathFallbackA(HWND owner, int folder, HANDLE token, DWORD flags,
                                                              LPSTR path)
{
    int csidl = folder & ~CSIDL_FLAG_MASK;
    int entry = -1;
    HRESULT hr;
    (void)flags;
    if (!path)
        return E_INVALIDARG;
    path[0] = 0;
    for (int i = 0; i < (int)(sizeof kFolders / sizeof kFolders[0]); i++)
        if (kFolders[i].csidl == csidl)
            entry = i;
    if (entry < 0)
        return E_INVALIDARG;

    switch (kFolders[entry].source) {
    case FromShell:
        /* The shell answers for the user running us, not for another. */
        hr = token ? E_NOTIMPL : ShellFolder(owner, csidl, path);
        break;
    case FromRegistry:
        hr = RegistryFolder(kFolders[entry].value, path);
        break;
    case FromSystemDirectory:
        hr = DirectoryFolder(GetSystemDirectoryA, path);
        break;
    default:
        hr = DirectoryFolder(GetWindowsDirectoryA, path);
        break;
    }
    if (SUCCEEDED(hr) && !path[0])
        hr = E_FAIL;

    if (SUCCEEDED(hr)) {
        /* Folders are answered without a trailing backslash, except a root. */
        LPSTR last = LastCharacter(path);
        if (*last == '\\' && last > path && last[-1] != ':')
            *last = 0;
    }
    if (SUCCEEDED(hr) && (folder & (CSIDL_FLAG_CREATE | CSIDL_FLAG_DONT_VERIFY)) != CSIDL_FLAG_DONT_VERIFY) {
        DWORD attributes = GetFileAttributesA(path);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (!(folder & CSIDL_FLAG_CREATE))
                hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
            else if (!CreateFolders(path))
                hr = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        }
    }
    if (FAILED(hr))
        path[0] = 0;
    return hr;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

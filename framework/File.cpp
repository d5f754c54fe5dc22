#include "framework/File.h"
#include <cstring>
#include "framework/SystemLibrary.h"

CFile::~CFile()
{
    if (IsOpen())
        CloseHandle(m_hFile);
}

BOOL CFile::Open(const char* path, UINT flags)
{
    if (IsOpen())
        Close();
    DWORD access = 0;
    switch (flags & 3) {
    case modeRead: access = GENERIC_READ; break;
    case modeWrite: access = GENERIC_WRITE; break;
    default: access = GENERIC_READ | GENERIC_WRITE; break;
    }
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    switch (flags & 0x70) {
    case shareExclusive: share = 0; break;
    case shareDenyWrite: share = FILE_SHARE_READ; break;
    case shareDenyRead: share = FILE_SHARE_WRITE; break;
    }
    DWORD disposition = OPEN_EXISTING;
    if (flags & modeCreate)
        disposition = (flags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
    if ((flags & modeCreate) && (flags & modeCreateFresh)) {
        DeleteFileA(path);
        disposition = CREATE_NEW;   // fails should the name come back meanwhile
    }
    m_hFile = CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return IsOpen();
}

ULONGLONG CFile::Seek(LONGLONG offset, UINT from)
{
    // SetFilePointer with the high half, not SetFilePointerEx: the Windows 98
    // loader refuses a program that imports the latter. A low half of
    // INVALID_SET_FILE_POINTER is a valid position; only the error code tells.
    LONG high = (LONG)(offset >> 32);
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(m_hFile, (LONG)(DWORD)offset, &high, from);
    if (low == INVALID_SET_FILE_POINTER) {
        DWORD error = GetLastError();
        if (error != NO_ERROR)
            throw CFileException(error);
    }
    return ((ULONGLONG)(DWORD)high << 32) | low;
}

void CFile::Write(const void* data, UINT count)
{
    DWORD written = 0;
    if (!WriteFile(m_hFile, data, count, &written, nullptr) || written != count)
        throw CFileException(GetLastError());
}

UINT CFile::Read(void* data, UINT count)
{
    DWORD read = 0;
    if (!ReadFile(m_hFile, data, count, &read, nullptr))
        throw CFileException(GetLastError());
    return read;
}

void CFile::Close()
{
    if (IsOpen())
        CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
}

// Looked up, not imported: the first Windows 95 lacks it.
BOOL(WINAPI* g_pfnGetFileAttributesEx)(LPCSTR, GET_FILEEX_INFO_LEVELS, LPVOID) = [] {
    decltype(g_pfnGetFileAttributesEx) function;
    ResolveFunction(GetModuleHandleA("kernel32.dll"), "GetFileAttributesExA", function);
    return function;
}();

BOOL CFile::GetStatus(const char* path, CFileStatus& status)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (g_pfnGetFileAttributesEx) {
        if (!g_pfnGetFileAttributesEx(path, GetFileExInfoStandard, &data))
            return FALSE;
        status.m_size = ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
        status.m_attribute = data.dwFileAttributes;
        return TRUE;
    }
    // A search for the one name gives the same facts; a pattern would match
    // other files, and names none.
    WIN32_FIND_DATAA found;
    if (strpbrk(path, "*?"))
        return FALSE;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return FALSE;
    FindClose(search);
    status.m_size = ((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow;
    status.m_attribute = found.dwFileAttributes;
    return TRUE;
}

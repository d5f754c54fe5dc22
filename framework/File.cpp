#include "framework/File.h"

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
    m_hFile = CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return IsOpen();
}

ULONGLONG CFile::Seek(LONGLONG offset, UINT from)
{
    LARGE_INTEGER distance, position;
    distance.QuadPart = offset;
    if (!SetFilePointerEx(m_hFile, distance, &position, from))
        throw CFileException(GetLastError());
    return position.QuadPart;
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

BOOL CFile::GetStatus(const char* path, CFileStatus& status)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return FALSE;
    status.m_size = ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    status.m_attribute = data.dwFileAttributes;
    return TRUE;
}

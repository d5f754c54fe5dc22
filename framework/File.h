// Files with the framework's open modes; positioning and writing throw
// CFileException, opening reports failure by its result.
#pragma once
#include <windows.h>
#include <string>

class CException {
public:
    virtual ~CException() = default;
};

class CFileException : public CException {
public:
    explicit CFileException(DWORD error) : m_lOsError(error) {}
    DWORD m_lOsError;
};

struct CFileStatus {
    ULONGLONG m_size = 0;
    DWORD m_attribute = 0;
};

class CFile {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        // With modeCreate: the name is removed and a new file made in its
        // place. In a folder other programs can write, a name planted there
        // beforehand (a link to another file) is never written through.
        modeCreateFresh = 0x4000,
    };
    enum SeekPosition { begin = FILE_BEGIN, current = FILE_CURRENT, end = FILE_END };

    CFile() = default;
    virtual ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    BOOL Open(const char* path, UINT flags);
    ULONGLONG Seek(LONGLONG offset, UINT from);
    ULONGLONG SeekToEnd() { return Seek(0, end); }
    void Write(const void* data, UINT count);
    UINT Read(void* data, UINT count);
    void Close();
    BOOL IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }

    // FALSE when the path names nothing.
    static BOOL GetStatus(const char* path, CFileStatus& status);

private:
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
};

// kernel32's GetFileAttributesExA where it has one (every system but the first
// Windows 95), else null and GetStatus searches for the name; tests replace it.
extern BOOL(WINAPI* g_pfnGetFileAttributesEx)(LPCSTR, GET_FILEEX_INFO_LEVELS, LPVOID);

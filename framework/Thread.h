// Worker threads as objects that outlive the thread when asked to: created
// suspended so the owner can turn automatic deletion off before they run.
#pragma once
#include <windows.h>

typedef UINT (*AFX_THREADPROC)(void* param);

class CWinThread {
public:
    CWinThread(AFX_THREADPROC proc, void* param) : m_pfnProc(proc), m_pParam(param) {}
    virtual ~CWinThread();
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    DWORD ResumeThread() { return ::ResumeThread(m_hThread); }

    HANDLE m_hThread = nullptr;
    UINT m_nThreadID = 0;
    BOOL m_bAutoDelete = TRUE;

private:
    friend CWinThread* AfxBeginThread(AFX_THREADPROC, void*, int, UINT, DWORD);
    static unsigned __stdcall Entry(void* self);
    AFX_THREADPROC m_pfnProc;
    void* m_pParam;
};

// Null when the thread cannot be created.
CWinThread* AfxBeginThread(AFX_THREADPROC proc, void* param, int priority = THREAD_PRIORITY_NORMAL,
                           UINT stackSize = 0, DWORD createFlags = 0);

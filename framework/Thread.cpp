#include "framework/Thread.h"
#include <process.h>

CWinThread::~CWinThread()
{
    if (m_hThread)
        CloseHandle(m_hThread);
}

unsigned __stdcall CWinThread::Entry(void* self)
{
    CWinThread* thread = (CWinThread*)self;
    UINT code = thread->m_pfnProc(thread->m_pParam);
    if (thread->m_bAutoDelete)
        delete thread;
    return code;
}

CWinThread* AfxBeginThread(AFX_THREADPROC proc, void* param, int priority, UINT stackSize, DWORD createFlags)
{
    CWinThread* thread = new CWinThread(proc, param);
    unsigned id = 0;
    // Always start suspended so the object is complete before the thread runs.
    thread->m_hThread = (HANDLE)_beginthreadex(nullptr, stackSize, &CWinThread::Entry, thread, CREATE_SUSPENDED, &id);
    if (!thread->m_hThread) {
        delete thread;
        return nullptr;
    }
    thread->m_nThreadID = id;
    SetThreadPriority(thread->m_hThread, priority);
    if (!(createFlags & CREATE_SUSPENDED))
        thread->ResumeThread();
    return thread;
}

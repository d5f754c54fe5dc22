// The end of the installation: the idle wait for the launch worker and the
// Finish command.
#include "app/InstallerApp.h"
#include "app/MainFrame.h"
#include "download/DownloadList.h"
#include "install/InstallTasks.h"

bool CMainFrame::DownloadsFinished() const
{
    return m_pDownloads && m_pDownloads->AllComplete() && !m_hWorker.load() && !m_bFailed;
}

CWinThread* CMainFrame::StartLaunchThread()
{
    CWinThread* thread = AfxBeginThread(LaunchThread, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!thread)
        return nullptr;
    thread->m_bAutoDelete = FALSE;
    m_hWorker = thread->m_hThread;
    thread->ResumeThread();
    return thread;
}

BOOL CInstallerApp::OnIdle(LONG count)
{
    return CWinApp::OnIdle(count);
}

void CMainFrame::OnFinish()
{
    OnCancel();
}

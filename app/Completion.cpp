// The end of the installation: the idle wait for the launch worker and the
// Finish command that starts the product and clears the installer away.
#include "app/InstallerApp.h"
#include "app/MainFrame.h"
#include "download/DownloadList.h"
#include "framework/Text.h"
#include "app/Rooms.h"
#include "install/InstallTasks.h"
#include "system/Prerequisites.h"

bool CMainFrame::DownloadsFinished() const
{
    return m_pDownloads && m_pDownloads->AllComplete() && !m_hWorker.load() && !m_bFailed && !m_bCancel;
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

// A launch worker that is given up on (the wait timed out or failed) still
// runs and still uses the frame: its object is kept, not deleted, until the
// frame goes, whose destructor cancels and waits for it.
void CMainFrame::AbandonLaunchThread()
{
    delete m_pAbandonedThread;
    m_pAbandonedThread = m_pLaunchThread;
    m_pLaunchThread = nullptr;
}

BOOL CInstallerApp::OnIdle(LONG count)
{
    CMainFrame* frame = MainFrame();
    if (frame && frame->m_pLaunchThread) {
        HANDLE worker = frame->m_pLaunchThread->m_hThread;
        DWORD result = MsgWaitForMultipleObjects(1, &worker, FALSE, 1200000, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0) {
            DWORD code = 0;
            if (!GetExitCodeThread(worker, &code)) {
                delete frame->m_pLaunchThread;
                frame->m_pLaunchThread = nullptr;
                frame->ReportError(CategoryGeneral, "cantgetthreadexitcode", true, true);
            } else if (code != 0) {
                delete frame->m_pLaunchThread;
                frame->m_pLaunchThread = nullptr;
                frame->ReportError(CategoryGeneral, Format("launchthreadexitcode%s", Format("%X", (unsigned)code).c_str()).c_str(),
                                   true, true);
            } else {
                delete frame->m_pLaunchThread;
                frame->m_pLaunchThread = nullptr;
                // A cancelled worker ends silently with 0: not a completion.
                if (!frame->m_bFailed && !frame->m_bCancel) {
                    m_bCompleted = TRUE;
                    // Recorded now, not at exit: killed or without power on
                    // the completion page, the next logon must not install
                    // again.
                    SaveProgressState();
                    frame->ReportEvent(CategoryGeneral, "bootstrapcomplete");
                    frame->SetStage(4);
                }
            }
        } else if (result == WAIT_TIMEOUT || result == WAIT_FAILED) {
            frame->AbandonLaunchThread();
            frame->ReportError(CategoryGeneral, Format("launchwaittimedoutorfailed%X", (unsigned)result).c_str(), true,
                               true);
        }
    }
    return CWinApp::OnIdle(count);
}

void CMainFrame::OnFinish()
{
    CInstallerApp* app = GetInstallerApp();
    // 1. On the error page Finish is the way out.
    if (m_bFailed) {
        OnCancel();
        return;
    }

    // 2 to 5. The product where its set-up puts it.
    std::string path = app->m_astrShellFolder[FolderProgramFiles] + "\\Zembrio";
    if (!PathExists(path)) {
        ReportError(CategoryGeneral, "cantlaunchzembrio4", true, true);
    } else if (!PathExists(path += "\\Zembrio")) {
        ReportError(CategoryGeneral, "cantlaunchzembrio3", true, true);
    } else if (!PathExists(path += "\\ZembrioMain.exe")) {
        ReportError(CategoryGeneral, "cantlaunchzembrio2", true, true);
    } else {
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        // Quoted: the path has spaces ("C:\Program Files\..."), and unquoted
        // a "C:\Program.exe" would be started in the product's place.
        std::string cmd = "\"" + path + "\"";
        if (CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        } else {
            ReportError(CategoryGeneral, "cantlaunchzembrio1", true, true);
        }
    }

    // 6. Clear the installer away, launched or not.
    if (m_nSystemType & WindowsVista)
        CInstallerApp::PurgeFolder(app->m_strTempPath);
    else
        app->RelaunchFromWorkingFolder(true);

    // 7.
    PostQuitMessage(0);
}

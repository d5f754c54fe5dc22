// Component installation is not built yet: nothing is put on the download
// list and no worker starts, so the download stage stays where it is.
#include "install/InstallTasks.h"
#include "app/MainFrame.h"

void CMainFrame::PrepareInstallTasks()
{
}

UINT LaunchThread(void* param)
{
    CMainFrame* frame = (CMainFrame*)param;
    frame->m_hWorker = nullptr;
    return 0;
}

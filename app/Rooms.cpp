// The window's side of the rooms below it: what they are handed, from the
// application and the frame, under the names the stage machine calls.
#include "app/InstallerApp.h"
#include "app/MainFrame.h"
#include "app/Resource.h"
#include "app/Rooms.h"
#include "download/DownloadList.h"
#include "install/InstallTasks.h"
#include "report/RunReports.h"
#include "system/Prerequisites.h"
#include "system/SelfInstall.h"
#include "system/WorkingFolder.h"
#include "ReleaseKeys.h"


void CMainFrame::CheckPrerequisites()
{
    CInstallerApp* app = GetInstallerApp();
    bool refused = false;
    m_nSystemType = CheckMachine(Reports(), app->m_astrShellFolder[FolderCommonFiles],
                                 app->m_astrShellFolder[FolderWindows], refused);
    if (!refused && !(m_nSystemType & NeedDotNet))
        m_bDotNetReady = true;
}

void CMainFrame::PrepareInstallTasks()
{
    CInstallerApp* app = GetInstallerApp();

    // 1.
    delete m_pDownloads;
    m_pDownloads = new DownloadList(app->m_pSession);
    // 2 to 5.
    InstallTasksJob job{Reports(), *app, app->m_strTempFolder, app->EndpointUrl(InstallBase), m_nSystemType};
    if (!PlanInstallTasks(job, *m_pDownloads, m_strTaskFileText))
        return;
    // 6. Without the worker the download stage would wait forever.
    if (!StartDownloadThread(this))
        ReportError(CategoryGeneral, "cantcreatedownloadthread", true, true);
}

void CInstallerApp::RecordItems(const DownloadList& list)
{
    if (m_bFreshStart || m_astrItemURL.empty()) {
        m_astrItemURL.clear();
        m_anItemSize.clear();
        for (UINT i = 0; i < list.ItemCount(); i++) {
            m_astrItemURL.push_back(list.ItemUrl(i));
            m_anItemSize.push_back(list.ItemServerSize(i));
        }
    }
    SaveProgressState();
}

const ReleaseKey* BuiltInReleaseKeys(size_t& count)
{
    static ReleaseKey keys[sizeof kReleaseKeys / sizeof kReleaseKeys[0]];
    count = sizeof keys / sizeof keys[0];
    for (size_t i = 0; i < count; i++)
        keys[i] = {kReleaseKeys[i].modulus, kReleaseKeys[i].length};
    return keys;
}

UINT DownloadThreadProc(void* param)
{
    CMainFrame* frame = (CMainFrame*)param;
    CInstallerApp* app = GetInstallerApp();
    size_t keyCount = 0;
    const ReleaseKey* keys = BuiltInReleaseKeys(keyCount);
    DownloadJob job{frame->Reports(),
                    *app,
                    frame->m_pDownloads,
                    frame->m_bCancel,
                    Format("%s/release.txt", app->EndpointUrl(InstallBase)),
                    app->m_strTempFolder + "\\release.txt",
                    keys,
                    keyCount,
                    app->m_nReleaseSerial > ZEMBRIO_MIN_RELEASE_SERIAL ? app->m_nReleaseSerial
                                                                       : ZEMBRIO_MIN_RELEASE_SERIAL};
    RunDownloads(job);
    // The worker's last action: from here on the frame may be destroyed.
    frame->m_hWorker = nullptr;
    return 0;
}

bool StartDownloadThread(CMainFrame* frame)
{
    CWinThread* thread = AfxBeginThread(DownloadThreadProc, frame, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!thread)
        return false;
    thread->m_bAutoDelete = FALSE;
    frame->m_pDownloadThread = thread;
    frame->m_hWorker = thread->m_hThread;
    thread->ResumeThread();
    return true;
}

UINT LaunchThread(void* param)
{
    CMainFrame* frame = (CMainFrame*)param;
    CInstallerApp* app = GetInstallerApp();
    LaunchJob job{frame->Reports(),
                  frame->m_pDownloads,
                  app->m_strTempFolder,
                  app->m_strExePath,
                  frame->m_strTaskFileText,
                  frame->m_hWnd,
                  CMainFrame::kDotNetInstalledMessage,
                  frame->m_bCancel,
                  frame->m_bFailed,
                  frame->m_bDotNetReady,
                  frame->m_nSystemType};
    RunLaunch(job);
    // The worker's last action: from here on the frame may be destroyed.
    frame->m_hWorker = nullptr;
    return 0;
}

// The record's copy of what the self-installation made.
static SelfInstallation Recorded(const CInstallerApp& app)
{
    return {app.m_strUninstallFolder, app.m_strUninstallExecutable, app.m_strUninstallDesktopIcon,
            app.m_strUninstallStartMenuIcon, app.m_strUninstallStartupIcon};
}

bool CInstallerApp::InstallSelf()
{
    const std::string* folders = m_astrShellFolder;
    SelfInstallPlaces places{folders[FolderProgramFiles],
                             folders[FolderDesktop],
                             folders[FolderStartMenu],
                             folders[FolderStartup],
                             LoadResString(IDS_SHORTCUT_FILE),
                             LoadResString(IDS_SHORTCUT_DESCRIPTION),
                             LoadResString(IDS_DISPLAY_NAME),
                             m_strAppName};
    SelfInstallation made = Recorded(*this);
    const char* error = ::InstallSelf(places, m_strExePath, MainFrame()->m_nSystemType, made);
    m_strUninstallFolder = made.folder;
    m_strUninstallExecutable = made.executable;
    m_strUninstallDesktopIcon = made.desktopIcon;
    m_strUninstallStartMenuIcon = made.startMenuIcon;
    m_strUninstallStartupIcon = made.startupIcon;
    if (error)
        MainFrame()->ReportError(CategoryPermissions, error, true, true);
    return !error;
}

bool CInstallerApp::RelaunchFromWorkingFolder(bool quiet)
{
    return ::RelaunchFromWorkingFolder(m_strTempPath, quiet);
}

bool CInstallerApp::CreateShortcut(const std::string& target, const std::string& link, const std::string& description)
{
    return ::CreateShortcut(target, link, description);
}

bool CInstallerApp::RemoveInstallation()
{
    ::RemoveInstallation(Recorded(*this), m_strAppName, LoadResString(IDS_SHORTCUT_FILE), m_strTempPath);
    m_bCompleted = TRUE;
    return true;
}

std::string CInstallerApp::UserWorkingFolder() const
{
    return ::UserWorkingFolder();
}

bool CInstallerApp::TakeStoredTempPath()
{
    std::string own = ::UserWorkingFolder();
    if (SameFolder(m_strTempPath, own)) {
        m_strTempPath = own;
        return true;
    }
    m_strRefusedTempPath = m_strTempPath;
    return false;
}

bool CInstallerApp::PrepareWorkingFolder()
{
    bool named = false;
    const char* error = ::PrepareWorkingFolder(m_bFreshStart, m_strTempPath, m_strTempFolder, m_strSystemTempPath, named);
    if (named)
        m_strTempPath = m_strTempFolder;
    if (error)
        MainFrame()->ReportError(CategoryFileIO, error, true, true);
    return !error;
}

// The carried library's bytes; tests carry another library.
const BYTE* (*g_pfnShellFolderLibraryBytes)(DWORD*) = [](DWORD* size) {
    return LoadResourceBytes(IDR_SHELL_FOLDER_DLL, "DLL", size);
};

bool CInstallerApp::ExtractShellFolderLibrary()
{
    DWORD size = 0;
    const BYTE* bytes = g_pfnShellFolderLibraryBytes(&size);
    if (FindShellFolderLookup(m_runLog, bytes, size, m_strTempFolder, m_hShellFolderLib, m_pfnSHGetFolderPath))
        return true;
    MainFrame()->ReportError(CategoryFileIO, "cantextractshelldll", true, true);
    return false;
}

bool CInstallerApp::ReadShellFolders()
{
    return !m_pfnSHGetFolderPath || ::ReadShellFolders(m_runLog, m_pfnSHGetFolderPath, m_astrShellFolder);
}

bool CInstallerApp::ReleaseShellFolderLibrary()
{
    if (m_hShellFolderLib)
        FreeLibrary(m_hShellFolderLib);
    m_hShellFolderLib = nullptr;
    m_pfnSHGetFolderPath = nullptr;
    return true;
}

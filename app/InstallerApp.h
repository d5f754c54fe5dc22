// The installer's application object: start-up and its command-line modes,
// the installer state in the profile, the reporter it hands to the window,
// and the services other parts reach through AfxGetApp() (run log,
// endpoints, folders).
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "framework/Internet.h"
#include "framework/Text.h"
#include "framework/WinApp.h"
#include "framework/Wnd.h"
#include "report/Endpoints.h"
#include "report/EventReporter.h"
#include "report/RunLog.h"
#include "download/ItemSizes.h"
#include "system/SystemType.h"
#include "system/WorkingFolder.h"
#include "ui/SkinControls.h"

class CMainFrame;

// The command-line switches, each found anywhere in the lower-cased text.
struct StartSwitches {
    bool uninstall, finish, quiet, staging, error;
};
StartSwitches ParseStartSwitches(const std::string& cmdLine);
// The uninstallation hand-off modes end start-up without a window; Vista
// ignores /uninstall, and /finish counts only without /uninstall.
enum StartMode { StartNormal, StartUninstall, StartFinish, StartQuiet };
StartMode ChooseStartMode(const StartSwitches& switches, bool isVista);

class CInstallerApp : public CWinApp, public CItemSizes, public CDownloadRecord {
public:
    CInstallerApp();
    ~CInstallerApp() override;

    BOOL InitInstance() override;
    int ExitInstance() override;
    BOOL OnIdle(LONG count) override;

    CMainFrame* MainFrame() const { return (CMainFrame*)m_pMainWnd; }

    // Installer state in HKCU\Software\Zembrio\Zembrio Installer.
    void LoadState();
    void SaveStartState();
    void SaveProgressState();
    UINT RememberedItemSize(const std::string& url) const override;
    // The highest release serial this user's installer has accepted, kept
    // apart from the record: a fresh start never lowers it, so a replayed
    // older release stays refused.
    void SaveReleaseSerial(DWORD serial) override;
    // A fresh start, or a resumed run whose record holds no items yet
    // (cancelled before the sizes were known), records the list's items.
    void RecordItems(const DownloadList& list) override;
    // The fresh-start decision of start-up; resets the start group when fresh.
    bool DecideFreshStart();
    // Whether the record shows the checks of a fresh stage 2: the
    // self-installation they lead to, or the Vista bit where none is made.
    // A run cancelled on the license page resumes without them.
    bool ChecksRecorded() const;

    const char* EndpointUrl(int kind) const { return m_endpoints.Url(kind); }

    // The run log, in the working folder.
    bool OpenRunLog() { return m_runLog.Open(m_strTempFolder); }
    bool WriteRunLog(const char* name, const char* value) { return m_runLog.Write(name, value); }
    bool WriteRunLog(const char* name, const std::string& value) { return WriteRunLog(name, value.c_str()); }
    void CloseRunLog() { m_runLog.Close(); }

    // Working folder and shell folders.
    bool PrepareWorkingFolder();
    // False, deleting nothing, where the folder is a file, junction or link.
    static bool PurgeFolder(const std::string& folder) { return ::PurgeFolder(folder); }
    static bool IsForeignFolder(const std::string& path) { return ::IsForeignFolder(path); }
    // This user's working folder: the temp path + "Zembrio"; empty when the
    // system has no usable temp path.
    std::string UserWorkingFolder() const;
    // Whether the record's TempPath names this user's working folder, in
    // any spelling; it then takes the folder's own spelling. Another value
    // is kept in m_strRefusedTempPath for the run log.
    bool TakeStoredTempPath();
    bool ExtractShellFolderLibrary();
    bool ReadShellFolders();
    bool ReleaseShellFolderLibrary();
    static const char* ShellFolderName(int folder) { return ::ShellFolderName(folder); }

    // Self-installation and uninstallation.
    bool InstallSelf();
    bool RelaunchFromWorkingFolder(bool quiet);
    bool CreateShortcut(const std::string& target, const std::string& link, const std::string& description);
    bool RemoveInstallation();

    // Members, in declared order.
    CEndpointSet m_endpoints;
    std::string m_strUserId;
    BOOL m_bQuietMode = FALSE;
    BOOL m_bFreshStart = FALSE;
    std::string m_strExePath;
    std::string m_strExeVersion;

    std::string m_strVersion;
    DWORD m_nReleaseSerial = 0;
    UINT m_nSystemType = 0;
    BOOL m_bCompleted = FALSE;
    std::string m_strTempPath;
    BOOL m_bUIFlag = FALSE;
    std::string m_strUninstallFolder;
    std::string m_strUninstallExecutable;
    std::string m_strUninstallDesktopIcon;
    std::string m_strUninstallStartMenuIcon;
    std::string m_strUninstallStartupIcon;

    BOOL m_bDefaultTimeouts = FALSE;

    CRunLog m_runLog;

    CInternetSession* m_pSession = nullptr;
    // Handed to the window, and through it to the workers, which report.
    CEventReporter m_reporter{m_runLog, m_endpoints, m_strUserId};
    std::string m_strTempFolder;
    std::string m_strSystemTempPath;
    std::string m_strRefusedTempPath;
    HFONT m_pFont = nullptr;

    CSkinLabel m_wndProgressText;
    CProgressCtrl m_wndProgress;
    CSkinButton m_btnClose{1041};
    CSkinButton m_btnMinimize{1031};
    CSkinButton m_btnCancel{1011};
    CSkinButton m_btnFinish{1001};
    CSkinButton m_btnHide{1021};
    CSkinButton m_btnNext{1051};
    CButton m_btnAgree;
    CRichEditCtrl m_wndLicense;
    CSkinButton m_btnContinue{185};

    HMODULE m_hShellFolderLib = nullptr;
    typedef ::SHGetFolderPathAProc SHGetFolderPathAProc;
    SHGetFolderPathAProc m_pfnSHGetFolderPath = nullptr;
    std::string m_astrShellFolder[ShellFolderCount];

    int m_nLicenseSize = 0;
    const BYTE* m_pLicenseData = nullptr;
    int m_nLicensePos = 0;

    CLinkButton m_lnkHelp{32784};
    CLinkButton m_lnkGoodies{32785};

    std::vector<std::string> m_astrItemURL;
    std::vector<UINT> m_anItemSize;
    // Set by LoadState: exit saves only a record this run has read.
    bool m_bStateLoaded = false;

    // Start-up helpers, one per step group.
    std::string BuildAgentString(bool& isVista) const;
    std::string GenerateUserId() const;
};

inline CInstallerApp* GetInstallerApp()
{
    return (CInstallerApp*)AfxGetApp();
}

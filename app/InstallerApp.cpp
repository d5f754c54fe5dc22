#include <winsock2.h>
#include "app/InstallerApp.h"
#include <ctime>
#include <cstdlib>
#include "app/MainFrame.h"
#include "app/Resource.h"
#include "framework/FileVersionInfo.h"
#include "framework/SystemLibrary.h"
#include "framework/Text.h"
#include "system/Prerequisites.h"
#include "identity/UserIdFinder.h"

CInstallerApp::CInstallerApp() = default;

CInstallerApp::~CInstallerApp()
{
    // The sender goes first: it sends through the session.
    m_reporter.Stop(0);
    m_reporter.Join();
    delete m_pSession;
    if (m_pFont)
        DeleteObject(m_pFont);
}

// Step 5: string 126, and the OS version when it can be read.
std::string CInstallerApp::BuildAgentString(bool& isVista) const
{
    std::string agent = LoadResString(IDS_AGENT);
    isVista = false;
    OSVERSIONINFOA os = {};
    os.dwOSVersionInfoSize = sizeof os;
    if (GetVersionExA(&os)) {
        DWORD build = os.dwPlatformId == VER_PLATFORM_WIN32_NT ? os.dwBuildNumber : LOWORD(os.dwBuildNumber);
        agent += Format(LoadResString(IDS_AGENT_WINDOWS).c_str(), (unsigned)os.dwMajorVersion,
                        (unsigned)os.dwMinorVersion, (unsigned)build, os.szCSDVersion);
        isVista = os.dwMajorVersion == 6;
    }
    return agent;
}

// Step 22: the time in seconds followed by one random value, cut to 13 digits.
std::string CInstallerApp::GenerateUserId() const
{
    srand(GetTickCount());
    std::string id = Format("%d%d", (int)(time(nullptr) & 0xFFFFFFFF), rand());
    return id.substr(0, 13);
}

// A value for one run-log line: its control characters (a line break that
// would add a line of its own) shown as "?".
static std::string PrintableText(std::string text)
{
    for (char& c : text)
        if ((unsigned char)c < 0x20)
            c = '?';
    return text;
}

StartSwitches ParseStartSwitches(const std::string& cmdLine)
{
    std::string cmd = ToLower(cmdLine);
    auto has = [&cmd](const char* sw) { return cmd.find(sw) != std::string::npos; };
    return {has("/uninstall"), has("/finish"), has("/quiet"), has("-staging"), has("-error")};
}

StartMode ChooseStartMode(const StartSwitches& switches, bool isVista)
{
    if (switches.uninstall)
        return isVista ? StartNormal : StartUninstall;
    if (switches.finish)
        return StartFinish;
    if (switches.quiet)
        return StartQuiet;
    return StartNormal;
}

static std::string ExecutableProductVersion(const std::string& path)
{
    VS_FIXEDFILEINFO info;
    if (!ReadFixedFileInfo(path, info))
        return "";
    return Format("%d.%d.%d.%d", HIWORD(info.dwProductVersionMS), LOWORD(info.dwProductVersionMS),
                  HIWORD(info.dwProductVersionLS), LOWORD(info.dwProductVersionLS));
}

BOOL CInstallerApp::InitInstance()
{
    // 1. Shift+Ctrl held at start keeps the platform's default time-outs.
    if (GetKeyState(VK_SHIFT) < 0 && GetKeyState(VK_CONTROL) < 0)
        m_bDefaultTimeouts = TRUE;

    // 3. COM, for the shell link object and the picture object.
    CoInitialize(nullptr);

    // 4. The profile lives under Software\Zembrio\Zembrio Installer.
    SetRegistryKey("Zembrio");

    // 5. Agent string.
    bool isVista = false;
    std::string agent = BuildAgentString(isVista);

    // 6 to 9. The uninstallation modes end without a window. They copy
    // themselves into, and purge, this user's own working folder only: a
    // record naming another one is not followed there.
    auto loadStateInOwnFolder = [this] {
        LoadState();
        if (!m_strTempPath.empty() && !TakeStoredTempPath())
            m_strTempPath.clear();
    };
    StartSwitches switches = ParseStartSwitches(m_strCmdLine);
    switch (ChooseStartMode(switches, isVista)) {
    case StartUninstall:
        // The record is the "/finish" copy's to write: saved at this exit
        // too, it could overwrite what the copy wrote, or make a record in
        // the profile of another user, who has none.
        m_bQuietMode = TRUE;
        LoadState();
        // The uninstall entry is seen by every user of the machine, the
        // record only in the profile of the user who installed: without
        // it there is no working folder to hand off to, nor anything known
        // to remove, and the user must hear why nothing happens.
        if (m_strTempPath.empty())
            MessageBoxA(nullptr, LoadResString(IDS_UNINSTALL_OTHER_USER).c_str(), m_strAppName.c_str(),
                        MB_OK | MB_ICONEXCLAMATION);
        else if (!TakeStoredTempPath() || !RelaunchFromWorkingFolder(false))
            MessageBoxA(nullptr, LoadResString(IDS_UNINSTALL_FAILED).c_str(), m_strAppName.c_str(),
                        MB_OK | MB_ICONERROR);
        return FALSE;
    case StartFinish:
        m_bQuietMode = TRUE;
        loadStateInOwnFolder();
        if (!isVista)
            RemoveInstallation();
        SaveProgressState();
        MessageBoxA(nullptr, LoadResString(IDS_UNINSTALLED).c_str(), m_strAppName.c_str(), MB_OK | MB_ICONINFORMATION);
        return FALSE;
    case StartQuiet:
        m_bQuietMode = TRUE;
        loadStateInOwnFolder();
        if (!isVista)
            RemoveInstallation();
        return FALSE;
    case StartNormal:
        break;
    }

    // 10.
    if (switches.staging)
        m_endpoints.m_bStaging = true;
    bool simulateError = switches.error;

    // 11. One installer at a time; a second one leaves silently. The handle
    // stays open for the life of the process.
    CreateMutexA(nullptr, TRUE, "ZembrioInstallerMutex");
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return FALSE;

    // 12. Own path and product version.
    char path[MAX_PATH] = "";
    if (GetModuleFileNameA(nullptr, path, MAX_PATH)) {
        m_strExePath = path;
        m_strExeVersion = ExecutableProductVersion(m_strExePath);
    }

    // 18. The window, shown and painted at once.
    CMainFrame* frame = new CMainFrame(m_reporter);
    m_pMainWnd = frame;
    if (!frame->CreateInstallerWindow(false, false))
        return FALSE;
    frame->ShowWindow(SW_SHOW);
    frame->UpdateWindow();

    // 14. The rich edit class, and the license control made with it. A
    // system without the library goes on to the page that refuses it.
    AfxInitRichEdit();
    frame->CreateLicenseControl();
    // The spoken names of the symbol buttons: the annotation service is a
    // library of its own, loaded once the window is on the screen.
    NameSymbolButtons(m_btnMinimize.m_hWnd, m_btnClose.m_hWnd);

    // 16 and 17. Fresh start or resumption: nothing the window shows
    // before its first stage depends on it.
    LoadState();
    m_bFreshStart = DecideFreshStart();
    if (m_bFreshStart)
        frame->LoadLicenseText();
    frame->CreateProgressBar();

    // What the first paint does not need comes after it: the window is on
    // the screen before the sockets, WinINet and the report sender start.

    // 2. Windows sockets. Looked up: Windows 95 has ws2_32 only with the
    // Winsock 2 update. Without it the run goes on (nothing here opens a
    // socket itself, WinINet brings its own), as far as the refusal of
    // Windows 95.
    WSADATA wsa;
    decltype(&::WSAStartup) startup;
    if (ResolveFunction(LoadSystemLibrary("ws2_32.dll"), "WSAStartup", startup) &&
        startup(MAKEWORD(2, 2), &wsa) != 0) {
        MessageBoxA(nullptr, LoadResString(IDS_SOCKETS_INIT_FAILED).c_str(), m_strAppName.c_str(), MB_OK);
        return FALSE;
    }

    // 13 and 15. The one internet session, and the report sender on it.
    m_pSession = new CInternetSession(agent.c_str(), 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!m_bDefaultTimeouts) {
        m_pSession->SetOption(INTERNET_OPTION_CONNECT_TIMEOUT, 30000);
        m_pSession->SetOption(INTERNET_OPTION_RECEIVE_TIMEOUT, 30000);
    }
    m_reporter.Start(m_pSession);

    // 19. Working folder.
    if (!PrepareWorkingFolder()) {
        frame->ReportError(CategoryFileIO, "cantcreatetempfolder", true, true);
        return FALSE;
    }

    // 20. Run log.
    OpenRunLog();
    char now[128] = "";
    time_t t = time(nullptr);
    if (const struct tm* local = localtime(&t))
        strftime(now, sizeof now, "%c", local);
    WriteRunLog("Time", now);
    WriteRunLog("Temp Folder", m_strTempFolder);
    WriteRunLog("This EXE Path", m_strExePath);
    if (!m_strRefusedTempPath.empty())
        WriteRunLog("Refused TempPath", PrintableText(m_strRefusedTempPath));

    // 21. Shell folders through the system's lookup or the carried library.
    const char* pendingError = nullptr;
    if (!ExtractShellFolderLibrary())
        pendingError = "cantextractshelldll";
    else if (!ReadShellFolders())
        pendingError = "cantgetwindowspaths";
    ReleaseShellFolderLibrary();

    // 22. User id: from the browsers' cookies, or made up.
    if (m_bFreshStart) {
        CUserIdFinder finder(m_astrShellFolder[FolderApplicationData]);
        if (!finder.FindUserId(m_strUserId))
            m_strUserId = GenerateUserId();
        WriteRunLog("UserId", m_strUserId);
    }

    // 23. Start report and first stage.
    if (pendingError) {
        frame->ReportError(CategoryGeneral, pendingError, true, true);
    } else {
        frame->ReportEvent(CategoryGeneral, "bootstrapstart");
        if (simulateError)
            frame->ReportError(CategorySimulated, "showerrordialogfortesting", true, true);
        else if (m_bFreshStart)
            frame->SetStage(0);
        else
            frame->SetStage(IsMainAppRunning() ? 6 : 2);
    }
    return TRUE;
}

int CInstallerApp::ExitInstance()
{
    // Reports still queued get this long in all, counted from here: they
    // go out while the workers stop and the window goes.
    const DWORD kReportsAtExitMs = 2000;
    DWORD exitStart = GetTickCount();
    // The workers stop before the record is read: the download worker
    // rewrites the item list. Once cancelled it leaves the list alone.
    CMainFrame* frame = MainFrame();
    bool workersEnded = !frame || frame->StopWorkers();
    // A run that ended before reading the record (a second instance, failed
    // sockets) must not overwrite the first instance's record with defaults.
    if (!m_bQuietMode && m_bStateLoaded) {
        if (m_bFreshStart)
            SaveStartState();
        SaveProgressState();
    }
    // A worker still blocked on a silent server (a read that closing its
    // request does not interrupt) keeps the frame and the list it uses
    // until the process ends; only the window goes.
    if (workersEnded)
        delete m_pMainWnd;
    else
        frame->DestroyWindow();
    m_pMainWnd = nullptr;
    // The reports left are named in the run log, so it closes after them.
    DWORD spent = GetTickCount() - exitStart;
    m_reporter.Stop(spent < kReportsAtExitMs ? kReportsAtExitMs - spent : 0);
    CloseRunLog();
    return CWinApp::ExitInstance();
}

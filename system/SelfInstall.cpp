// The installer's copy of itself under Program Files, its "Resume" shortcuts
// and uninstall entry, and the re-launch from the working folder through
// which cleanup and uninstallation run.
#include "app/InstallerApp.h"
#include <objbase.h>
#include <shlobj.h>
#include "app/MainFrame.h"
#include "app/Resource.h"
#include "framework/Text.h"
#include "system/Prerequisites.h"

static const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

static bool EnsureFolder(const std::string& folder)
{
    return PathExists(folder) || CreateDirectoryA(folder.c_str(), nullptr);
}

static void SetStringValue(HKEY key, const char* name, const std::string& value)
{
    RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)value.c_str(), (DWORD)value.size() + 1);
}

bool CInstallerApp::InstallSelf()
{
    CMainFrame* frame = MainFrame();
    auto fail = [frame](const char* name) {
        frame->ReportError(CategoryPermissions, name, true, true);
        return false;
    };

    std::string root = m_astrShellFolder[FolderProgramFiles] + "\\Zembrio";
    if (!EnsureFolder(root))
        return fail("cantcreatezembriofolder");
    std::string folder = root + "\\ZembrioInstaller";
    if (!EnsureFolder(folder))
        return fail("cantcreatezembrioinstallerfolder");
    m_strUninstallFolder = folder;

    std::string installed = folder + "\\ZembrioInstaller.exe";
    if (ToLower(installed) != ToLower(m_strExePath) && !CopyFileA(m_strExePath.c_str(), installed.c_str(), FALSE))
        return fail("cantcreatezembrioinstallerexe");
    m_strUninstallExecutable = installed;

    std::string linkName = LoadResString(IDS_SHORTCUT_FILE);
    std::string description = LoadResString(IDS_SHORTCUT_DESCRIPTION);

    std::string desktopLink = m_astrShellFolder[FolderDesktop] + "\\" + linkName;
    if (!CreateShortcut(installed, desktopLink, description))
        return fail("cantcreatedesktopicon");
    m_strUninstallDesktopIcon = desktopLink;

    std::string startFolder = m_astrShellFolder[FolderStartMenu] + "\\Zembrio";
    if (!EnsureFolder(startFolder))
        return fail("cantcreatestartfolder");
    std::string startLink = startFolder + "\\" + linkName;
    if (!CreateShortcut(installed, startLink, description))
        return fail("cantcreatestarticon");
    m_strUninstallStartMenuIcon = startLink;

    // Registration is a convenience: without write access to HKLM the
    // installation goes on without an uninstall entry.
    HKEY uninstall = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, &uninstall) == ERROR_SUCCESS) {
        HKEY entry;
        if (RegCreateKeyExA(uninstall, m_strAppName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &entry, nullptr) == ERROR_SUCCESS) {
            SetStringValue(entry, "DisplayName", LoadResString(IDS_DISPLAY_NAME));
            // Quoted, so a path with spaces cannot be taken for a shorter
            // program name; start-up still finds the switch by substring.
            SetStringValue(entry, "UninstallString", "\"" + installed + "\" /uninstall");
            RegCloseKey(entry);
        }
    }

    // Where the start-up shortcut would not survive (the .NET set-up reboots
    // into it; older systems), its path is recorded but nothing is made.
    std::string startupLink = m_astrShellFolder[FolderStartup] + "\\" + linkName;
    if (!(MainFrame()->m_nSystemType & (NeedDotNet | Windows9x | Windows2000)) &&
        !CreateShortcut(installed, startupLink, description)) {
        if (uninstall)
            RegCloseKey(uninstall);
        return fail("cantcreatestartupicon");
    }
    m_strUninstallStartupIcon = startupLink;

    if (uninstall)
        RegCloseKey(uninstall);
    return true;
}

bool CInstallerApp::RelaunchFromWorkingFolder(bool quiet)
{
    // The copy is written into the folder and started by a quoted command
    // line: neither may go through a junction or take a quote from the path.
    if (HasQuoteOrLineBreak(m_strTempPath) || !EnsureFolder(m_strTempPath) || IsForeignFolder(m_strTempPath))
        return false;
    char self[MAX_PATH] = "";
    DWORD len = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (len == 0 || len >= MAX_PATH)
        return false;
    std::string copy = m_strTempPath + "\\ZembrioInstaller.exe";
    if (!CopyFileA(self, copy.c_str(), FALSE))
        return false;

    // The suffix keeps its historical unpaired quote; start-up finds the
    // switch by substring search either way.
    std::string cmd = "\"" + copy + (quiet ? "\" /quiet\"" : "\" /finish\"");
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

bool CInstallerApp::CreateShortcut(const std::string& target, const std::string& link,
                                   const std::string& description)
{
    IShellLinkA* shellLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                (void**)&shellLink)))
        return false;
    IPersistFile* file = nullptr;
    if (FAILED(shellLink->QueryInterface(IID_IPersistFile, (void**)&file))) {
        shellLink->Release();
        return false;
    }
    bool saved = false;
    if (SUCCEEDED(shellLink->SetPath(target.c_str())) && SUCCEEDED(shellLink->SetDescription(description.c_str()))) {
        WCHAR wide[MAX_PATH] = L"";
        if (MultiByteToWideChar(CP_ACP, 0, link.c_str(), -1, wide, MAX_PATH))
            saved = SUCCEEDED(file->Save(wide, TRUE));
    }
    file->Release();
    shellLink->Release();
    return saved;
}

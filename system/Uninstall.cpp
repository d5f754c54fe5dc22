// Removal of what the self-installation put on the machine. Runs in a copy
// started from the working folder, never in the installed copy it deletes.
#include "app/InstallerApp.h"
#include "app/Resource.h"
#include "framework/Text.h"

static const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// The pause between attempts on a locked installed copy; tests shorten it.
void (*g_pfnUninstallSleep)(DWORD) = [](DWORD ms) { Sleep(ms); };

// The record is written by every program of the user, and an uninstallation
// may run elevated: it deletes only what a self-installation makes, files
// and the folder of these names, never whatever else a record names.
static bool NamedAsOurs(const std::string& path, const std::string& name)
{
    return path.size() > name.size() && path[path.size() - name.size() - 1] == '\\' &&
           lstrcmpiA(path.c_str() + path.size() - name.size(), name.c_str()) == 0;
}

static void DeleteShortcut(const std::string& path)
{
    if (NamedAsOurs(path, LoadResString(IDS_SHORTCUT_FILE)))
        DeleteFileA(path.c_str());
}

bool CInstallerApp::RemoveInstallation()
{
    DeleteShortcut(m_strUninstallStartupIcon);

    HKEY uninstall = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, &uninstall) == ERROR_SUCCESS) {
        HKEY entry = nullptr;
        if (RegOpenKeyExA(uninstall, m_strAppName.c_str(), 0, KEY_ALL_ACCESS, &entry) == ERROR_SUCCESS) {
            RegDeleteValueA(entry, "DisplayName");
            RegDeleteValueA(entry, "UninstallString");
        }
        RegDeleteKeyA(uninstall, m_strAppName.c_str());
        if (entry)
            RegCloseKey(entry);
    }

    DeleteShortcut(m_strUninstallStartMenuIcon);
    DeleteShortcut(m_strUninstallDesktopIcon);

    // The process that started this copy may still be running from the
    // installed executable for a moment.
    bool ours = NamedAsOurs(m_strUninstallExecutable, "ZembrioInstaller.exe") &&
                NamedAsOurs(m_strUninstallFolder, "ZembrioInstaller");
    for (int attempt = 0; ours && attempt < 5; attempt++) {
        if (DeleteFileA(m_strUninstallExecutable.c_str()) || GetLastError() != ERROR_ACCESS_DENIED)
            break;
        g_pfnUninstallSleep(1000);
    }

    if (ours)
        RemoveDirectoryA(m_strUninstallFolder.c_str());
    PurgeFolder(m_strTempPath);
    m_bCompleted = TRUE;

    if (uninstall)
        RegCloseKey(uninstall);
    return true;
}

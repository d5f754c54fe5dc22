// Removal of what the self-installation put on the machine. Runs in a copy
// started from the working folder, never in the installed copy it deletes.
#include "app/InstallerApp.h"

static const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// The pause between attempts on a locked installed copy; tests shorten it.
void (*g_pfnUninstallSleep)(DWORD) = [](DWORD ms) { Sleep(ms); };

bool CInstallerApp::RemoveInstallation()
{
    DeleteFileA(m_strUninstallStartupIcon.c_str());

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

    DeleteFileA(m_strUninstallStartMenuIcon.c_str());
    DeleteFileA(m_strUninstallDesktopIcon.c_str());

    // The process that started this copy may still be running from the
    // installed executable for a moment.
    for (int attempt = 0; attempt < 5; attempt++) {
        if (DeleteFileA(m_strUninstallExecutable.c_str()) || GetLastError() != ERROR_ACCESS_DENIED)
            break;
        g_pfnUninstallSleep(1000);
    }

    RemoveDirectoryA(m_strUninstallFolder.c_str());
    PurgeFolder(m_strTempPath);
    m_bCompleted = TRUE;

    if (uninstall)
        RegCloseKey(uninstall);
    return true;
}

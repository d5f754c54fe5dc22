// Removal of what the self-installation put on the machine. Runs in a copy
// started from the working folder, never in the installed copy it deletes.
#include "system/SelfInstall.h"
#include "framework/Text.h"
#include "system/WorkingFolder.h"

static const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

void (*g_pfnUninstallSleep)(DWORD) = [](DWORD ms) { Sleep(ms); };

// The record is written by every program of the user, and an uninstallation
// may run elevated: it deletes only what a self-installation makes, files
// and the folder of these names, never whatever else a record names.
static bool NamedAsOurs(const std::string& path, const std::string& name)
{
    return path.size() > name.size() && path[path.size() - name.size() - 1] == '\\' &&
           lstrcmpiA(path.c_str() + path.size() - name.size(), name.c_str()) == 0;
}

void RemoveInstallation(const SelfInstallation& made, const std::string& appName, const std::string& linkName,
                        const std::string& workingFolder)
{
    auto deleteShortcut = [&linkName](const std::string& path) {
        if (NamedAsOurs(path, linkName))
            DeleteFileA(path.c_str());
    };
    deleteShortcut(made.startupIcon);

    HKEY uninstall = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, &uninstall) == ERROR_SUCCESS) {
        HKEY entry = nullptr;
        if (RegOpenKeyExA(uninstall, appName.c_str(), 0, KEY_ALL_ACCESS, &entry) == ERROR_SUCCESS) {
            RegDeleteValueA(entry, "DisplayName");
            RegDeleteValueA(entry, "UninstallString");
        }
        RegDeleteKeyA(uninstall, appName.c_str());
        if (entry)
            RegCloseKey(entry);
    }

    deleteShortcut(made.startMenuIcon);
    deleteShortcut(made.desktopIcon);

    // The process that started this copy may still be running from the
    // installed executable for a moment.
    bool ours = NamedAsOurs(made.executable, "ZembrioInstaller.exe") &&
                NamedAsOurs(made.folder, "ZembrioInstaller");
    for (int attempt = 0; ours && attempt < 5; attempt++) {
        if (DeleteFileA(made.executable.c_str()) || GetLastError() != ERROR_ACCESS_DENIED)
            break;
        g_pfnUninstallSleep(1000);
    }

    if (ours)
        RemoveDirectoryA(made.folder.c_str());
    PurgeFolder(workingFolder);

    if (uninstall)
        RegCloseKey(uninstall);
}

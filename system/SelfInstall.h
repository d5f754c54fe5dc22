// The installer's copy of itself under Program Files, its "Resume" shortcuts
// and uninstall entry, their removal, and the re-launch from the working
// folder through which cleanup and uninstallation run.
#pragma once
#include <windows.h>
#include <string>

// What a self-installation made, as the record keeps it.
struct SelfInstallation {
    std::string folder;
    std::string executable;
    std::string desktopIcon;
    std::string startMenuIcon;
    std::string startupIcon;
};

// Where it goes and what it is called, from the shell folders and the
// string table.
struct SelfInstallPlaces {
    std::string programFiles, desktop, startMenu, startup;
    std::string linkName;      // the shortcuts' file name
    std::string description;   // the shortcuts' description
    std::string displayName;   // the uninstall entry's
    std::string appName;       // the uninstall entry's key
};

// Copies exePath into Program Files\Zembrio\ZembrioInstaller, makes the
// shortcuts (the start-up one not where systemType says it would not
// survive) and the uninstall entry; made receives each part as it is made.
// The error's name (category permissions), or null.
const char* InstallSelf(const SelfInstallPlaces& places, const std::string& exePath, UINT systemType,
                        SelfInstallation& made);
bool CreateShortcut(const std::string& target, const std::string& link, const std::string& description);
// Starts a copy of this program in the working folder, "/quiet" or "/finish".
bool RelaunchFromWorkingFolder(const std::string& workingFolder, bool quiet);
// Removes only what a self-installation makes under these names, then purges
// the working folder.
void RemoveInstallation(const SelfInstallation& made, const std::string& appName, const std::string& linkName,
                        const std::string& workingFolder);

// The pause between attempts on a locked installed copy; tests shorten it.
extern void (*g_pfnUninstallSleep)(DWORD milliseconds);

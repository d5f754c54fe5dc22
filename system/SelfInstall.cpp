// The installer's copy of itself under Program Files, its "Resume" shortcuts
// and uninstall entry, and the re-launch from the working folder through
// which cleanup and uninstallation run.
#include "system/SelfInstall.h"
#include <objbase.h>
#include <shlobj.h>
#include "framework/Text.h"
#include "system/Prerequisites.h"
#include "system/SystemType.h"
#include "system/WorkingFolder.h"

static const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

static bool EnsureFolder(const std::string& folder)
{
    return PathExists(folder) || CreateDirectoryA(folder.c_str(), nullptr);
}

static void SetStringValue(HKEY key, const char* name, const std::string& value)
{
    RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)value.c_str(), (DWORD)value.size() + 1);
}

const char* InstallSelf(const SelfInstallPlaces& places, const std::string& exePath, UINT systemType,
                        SelfInstallation& made)
{
    std::string root = places.programFiles + "\\Zembrio";
    if (!EnsureFolder(root))
        return "cantcreatezembriofolder";
    std::string folder = root + "\\ZembrioInstaller";
    if (!EnsureFolder(folder))
        return "cantcreatezembrioinstallerfolder";
    made.folder = folder;

    std::string installed = folder + "\\ZembrioInstaller.exe";
    if (ToLower(installed) != ToLower(exePath) && !CopyFileA(exePath.c_str(), installed.c_str(), FALSE))
        return "cantcreatezembrioinstallerexe";
    made.executable = installed;

    std::string desktopLink = places.desktop + "\\" + places.linkName;
    if (!CreateShortcut(installed, desktopLink, places.description))
        return "cantcreatedesktopicon";
    made.desktopIcon = desktopLink;

    std::string startFolder = places.startMenu + "\\Zembrio";
    if (!EnsureFolder(startFolder))
        return "cantcreatestartfolder";
    std::string startLink = startFolder + "\\" + places.linkName;
    if (!CreateShortcut(installed, startLink, places.description))
        return "cantcreatestarticon";
    made.startMenuIcon = startLink;

    // Registration is a convenience: without write access to HKLM the
    // installation goes on without an uninstall entry.
    HKEY uninstall = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, &uninstall) == ERROR_SUCCESS) {
        HKEY entry;
        if (RegCreateKeyExA(uninstall, places.appName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &entry, nullptr) == ERROR_SUCCESS) {
            SetStringValue(entry, "DisplayName", places.displayName);
            // Quoted, so a path with spaces cannot be taken for a shorter
            // program name; start-up still finds the switch by substring.
            SetStringValue(entry, "UninstallString", "\"" + installed + "\" /uninstall");
            RegCloseKey(entry);
        }
        RegCloseKey(uninstall);
    }

    // Where the start-up shortcut would not survive (the .NET set-up reboots
    // into it; older systems), its path is recorded but nothing is made.
    std::string startupLink = places.startup + "\\" + places.linkName;
    if (!(systemType & (NeedDotNet | Windows9x | Windows2000)) &&
        !CreateShortcut(installed, startupLink, places.description))
        return "cantcreatestartupicon";
    made.startupIcon = startupLink;
    return nullptr;
}

bool RelaunchFromWorkingFolder(const std::string& workingFolder, bool quiet)
{
    // The copy is written into the folder and started by a quoted command
    // line: neither may go through a junction or take a quote from the path.
    if (HasQuoteOrLineBreak(workingFolder) || !EnsureFolder(workingFolder) || IsForeignFolder(workingFolder))
        return false;
    char self[MAX_PATH] = "";
    DWORD len = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (len == 0 || len >= MAX_PATH)
        return false;
    std::string copy = workingFolder + "\\ZembrioInstaller.exe";
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

bool CreateShortcut(const std::string& target, const std::string& link, const std::string& description)
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

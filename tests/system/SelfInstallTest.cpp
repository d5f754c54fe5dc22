#include "SystemTestSupport.h"
#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include "framework/Text.h"
#include "system/SelfInstall.h"
#include "system/SystemType.h"

namespace {

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kEntryKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zembrio Installer";
const char kLinkName[] = "Resume Zembrio Installation.lnk";

struct LinkInfo {
    bool loaded = false;
    std::string target, description;
};

LinkInfo ReadLink(const std::string& path)
{
    LinkInfo info;
    IShellLinkA* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void**)&link)))
        return info;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void**)&file))) {
        WCHAR wide[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
        if (SUCCEEDED(file->Load(wide, STGM_READ))) {
            char text[MAX_PATH] = "";
            link->GetPath(text, MAX_PATH, nullptr, 0);
            info.target = text;
            text[0] = 0;
            link->GetDescription(text, MAX_PATH);
            info.description = text;
            info.loaded = true;
        }
        file->Release();
    }
    link->Release();
    return info;
}

std::string ReadValue(const char* key, const char* name)
{
    char data[1024] = "";
    DWORD size = sizeof data - 1;
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return "<missing>";
    LONG result = RegQueryValueExA(handle, name, nullptr, nullptr, (BYTE*)data, &size);
    RegCloseKey(handle);
    return result == ERROR_SUCCESS ? std::string(data) : "<missing>";
}

ULONGLONG SizeOf(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

class SelfInstallTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        CoInitialize(nullptr);
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        exe = self;
        PlantString(HKEY_LOCAL_MACHINE, kUninstallKey, nullptr, "");
    }
    SelfInstallPlaces Places() const
    {
        return {folders[FolderProgramFiles], folders[FolderDesktop], folders[FolderStartMenu], folders[FolderStartup],
                kLinkName, "Resume Zembrio Installation", "Zembrio Installer", "Zembrio Installer"};
    }
    const char* Install(UINT systemType = 0) { return InstallSelf(Places(), exe, systemType, made); }
    void Remove() { RemoveInstallation(made, "Zembrio Installer", kLinkName, scratch.Path()); }
    std::string Installed() const { return folders[FolderProgramFiles] + "\\Zembrio\\ZembrioInstaller\\ZembrioInstaller.exe"; }
    static std::string LinkIn(const std::string& folder) { return folder + "\\" + kLinkName; }

    std::string exe;
    SelfInstallation made;
};

} // namespace

TEST_F(SelfInstallTest, InstallsCopyShortcutsAndQuotedUninstallEntry)
{
    // A copy left by an earlier run is replaced.
    MakeFolders(folders[FolderProgramFiles] + "\\Zembrio\\ZembrioInstaller");
    WriteTextFile(Installed(), "old copy");

    EXPECT_EQ(nullptr, Install());
    EXPECT_EQ(SizeOf(exe), SizeOf(Installed()));
    EXPECT_EQ(folders[FolderProgramFiles] + "\\Zembrio\\ZembrioInstaller", made.folder);
    EXPECT_EQ(Installed(), made.executable);
    EXPECT_EQ(LinkIn(folders[FolderDesktop]), made.desktopIcon);
    EXPECT_EQ(LinkIn(folders[FolderStartMenu] + "\\Zembrio"), made.startMenuIcon);
    EXPECT_EQ(LinkIn(folders[FolderStartup]), made.startupIcon);
    for (const std::string& path : {made.desktopIcon, made.startMenuIcon, made.startupIcon}) {
        LinkInfo link = ReadLink(path);
        ASSERT_TRUE(link.loaded) << path;
        EXPECT_EQ(ToLower(Installed()), ToLower(link.target));
        EXPECT_EQ("Resume Zembrio Installation", link.description);
    }
    EXPECT_EQ("Zembrio Installer", ReadValue(kEntryKey, "DisplayName"));
    EXPECT_EQ("\"" + Installed() + "\" /uninstall", ReadValue(kEntryKey, "UninstallString"));
    EXPECT_TRUE(failures.pages.empty());
}

TEST_F(SelfInstallTest, NoStartupShortcutWhereItWouldNotSurviveButPathRecorded)
{
    for (UINT bits : {(UINT)NeedDotNet, (UINT)Windows9x, (UINT)Windows2000}) {
        made = SelfInstallation();
        EXPECT_EQ(nullptr, Install(bits));
        EXPECT_EQ(LinkIn(folders[FolderStartup]), made.startupIcon);
        EXPECT_FALSE(FileExists(made.startupIcon)) << bits;
        EXPECT_TRUE(FileExists(made.desktopIcon));
    }
}

TEST_F(SelfInstallTest, RunningTheInstalledCopyCopiesNothing)
{
    MakeFolders(folders[FolderProgramFiles] + "\\Zembrio\\ZembrioInstaller");
    WriteTextFile(Installed(), "the running copy");
    exe = Installed();
    for (char& c : exe)
        c = (char)toupper((unsigned char)c);
    EXPECT_EQ(nullptr, Install());
    EXPECT_EQ("the running copy", ReadTextFile(Installed()));
    EXPECT_TRUE(FileExists(made.startMenuIcon));
    EXPECT_EQ("\"" + Installed() + "\" /uninstall", ReadValue(kEntryKey, "UninstallString"));
}

TEST_F(SelfInstallTest, MissingUninstallKeyIsNoError)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    EXPECT_EQ(nullptr, Install());
    EXPECT_EQ("<missing>", ReadValue(kEntryKey, "DisplayName"));
    EXPECT_TRUE(FileExists(made.startupIcon));
}

// Each step that fails names itself and stops the installation there; what
// was made before it is recorded, so that the removal finds it.
TEST_F(SelfInstallTest, FirstFailureNamesItselfAndStops)
{
    const struct {
        const char* error;
        void (*breakIt)(SelfInstallPlaces& places, std::string& exe);
        int parts;   // of folder, executable, desktop and start-menu icon, made before it
        bool entry;
    } cases[] = {
        {"cantcreatezembriofolder", [](SelfInstallPlaces& p, std::string&) { p.programFiles += "\\no\\such"; }, 0,
         false},
        {"cantcreatezembrioinstallerfolder",
         [](SelfInstallPlaces& p, std::string&) { WriteTextFile(p.programFiles + "\\Zembrio", "a file"); }, 0, false},
        {"cantcreatezembrioinstallerexe", [](SelfInstallPlaces&, std::string& exe) { exe += ".missing"; }, 1, false},
        {"cantcreatedesktopicon", [](SelfInstallPlaces& p, std::string&) { p.desktop += "\\no\\such"; }, 2, false},
        {"cantcreatestartfolder", [](SelfInstallPlaces& p, std::string&) { p.startMenu += "\\no\\such"; }, 3, false},
        {"cantcreatestartupicon", [](SelfInstallPlaces& p, std::string&) { p.startup += "\\no\\such"; }, 4, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        ScratchFolder root;
        SelfInstallPlaces places = Places();
        for (std::string* folder : {&places.programFiles, &places.desktop, &places.startMenu, &places.startup}) {
            *folder = root.File(folder->substr(folder->rfind('\\') + 1));
            CreateDirectoryA(folder->c_str(), nullptr);
        }
        std::string from = exe;
        c.breakIt(places, from);
        RemoveKey(HKEY_LOCAL_MACHINE, kEntryKey);
        made = SelfInstallation();
        EXPECT_STREQ(c.error, InstallSelf(places, from, 0, made));
        const std::string parts[] = {made.folder, made.executable, made.desktopIcon, made.startMenuIcon};
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(i < c.parts, !parts[i].empty()) << i;
        EXPECT_EQ("", made.startupIcon);
        EXPECT_EQ(c.entry ? "Zembrio Installer" : "<missing>", ReadValue(kEntryKey, "DisplayName"));
    }
}

TEST_F(SelfInstallTest, RemovalUndoesTheInstallationAndKeepsTheRunLog)
{
    ASSERT_EQ(nullptr, Install());
    WriteTextFile(scratch.File("setup.exe"), "download");
    WriteTextFile(scratch.File("ZembrioInstaller.exe"), "working copy");
    static int sleeps;
    sleeps = 0;
    ScopedSeam<decltype(g_pfnUninstallSleep)> sleep(g_pfnUninstallSleep, [](DWORD) { sleeps++; });

    Remove();
    EXPECT_EQ(0, sleeps);
    for (const std::string& path : {made.desktopIcon, made.startMenuIcon, made.startupIcon, made.executable,
                                    made.folder, scratch.File("setup.exe"), scratch.File("ZembrioInstaller.exe")})
        EXPECT_FALSE(FileExists(path)) << path;
    HKEY key;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEntryKey, 0, KEY_READ, &key));
    EXPECT_TRUE(FileExists(scratch.File("log.txt")));
    // The start-menu folder and the installation root stay.
    EXPECT_TRUE(FileExists(folders[FolderStartMenu] + "\\Zembrio"));
    EXPECT_TRUE(FileExists(folders[FolderProgramFiles] + "\\Zembrio"));
}

TEST_F(SelfInstallTest, RemovalDeletesNothingElseARecordNames)
{
    // Any program of the user can write the record; the uninstallation may
    // run elevated.
    ScratchFolder elsewhere;   // not the working folder, which is purged
    std::string victim = elsewhere.File("victim.txt");
    std::string folder = elsewhere.File("victim");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    made.startupIcon = made.startMenuIcon = made.desktopIcon = victim;
    ScopedSeam<decltype(g_pfnUninstallSleep)> sleep(g_pfnUninstallSleep, [](DWORD) {});
    for (const char* name : {"victim.txt", "ZembrioInstaller.exe.txt", "xZembrioInstaller.exe"}) {
        SCOPED_TRACE(name);
        WriteTextFile(elsewhere.File(name), "not the installer's");
        made.executable = elsewhere.File(name);
        made.folder = folder;
        Remove();
        EXPECT_TRUE(FileExists(elsewhere.File(name)));
    }
    EXPECT_TRUE(FileExists(victim));
    EXPECT_TRUE(FileExists(folder));

    // Nothing recorded and no working folder: nothing to do, and no harm.
    RemoveInstallation(SelfInstallation(), "Zembrio Installer", kLinkName, "");
    EXPECT_TRUE(FileExists(folder));
}

// Only a copy that refuses deletion with ERROR_ACCESS_DENIED (a read-only
// file here, as a copy still running does) is tried again, five times a
// second apart; one released meanwhile goes at the next attempt.
TEST_F(SelfInstallTest, OnlyAnAccessDeniedCopyIsRetriedFiveTimes)
{
    static int sleeps, releaseAt;
    static std::string installed;
    installed = Installed();
    ScopedSeam<decltype(g_pfnUninstallSleep)> sleep(g_pfnUninstallSleep, [](DWORD ms) {
        EXPECT_EQ(1000u, ms);
        if (++sleeps == releaseAt)
            SetFileAttributesA(installed.c_str(), FILE_ATTRIBUTE_NORMAL);
    });
    const struct {
        const char* how;
        int releaseAt;   // the pause after which it is let go; 0: never
        int sleeps;
        bool kept;
    } cases[] = {
        {"read-only", 0, 5, true},
        {"read-only", 2, 2, false},
        {"open without sharing", 0, 0, true},   // a sharing violation is not access denied
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.how) + " " + std::to_string(c.releaseAt));
        made = SelfInstallation();
        ASSERT_EQ(nullptr, Install());
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.how[0] == 'r')
            SetFileAttributesA(installed.c_str(), FILE_ATTRIBUTE_READONLY);
        else
            ASSERT_NE(INVALID_HANDLE_VALUE,
                      held = CreateFileA(installed.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        sleeps = 0;
        releaseAt = c.releaseAt;
        Remove();
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        EXPECT_EQ(c.sleeps, sleeps);
        EXPECT_EQ(c.kept, FileExists(installed));
        EXPECT_EQ(c.kept, FileExists(made.folder));
        EXPECT_FALSE(FileExists(made.desktopIcon));
        SetFileAttributesA(installed.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

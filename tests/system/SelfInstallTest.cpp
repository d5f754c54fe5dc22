#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include "framework/Text.h"
#include "system/Prerequisites.h"
#include "SystemTestSupport.h"

extern void (*g_pfnUninstallSleep)(DWORD);

namespace {

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kEntryKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zembrio Installer";

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

class SelfInstallTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        CoInitialize(nullptr);
        app.m_strAppName = "Zembrio Installer";
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        app.m_strExePath = self;
        PlantString(HKEY_LOCAL_MACHINE, kUninstallKey, nullptr, "");
    }
    void TearDown() override
    {
        g_pfnUninstallSleep = [](DWORD ms) { Sleep(ms); };
        SystemTest::TearDown();
    }
    std::string Folder(int which) { return app.m_astrShellFolder[which]; }
    std::string Installed() { return Folder(FolderProgramFiles) + "\\Zembrio\\ZembrioInstaller\\ZembrioInstaller.exe"; }
    std::string LinkIn(const std::string& folder) { return folder + "\\Resume Zembrio Installation.lnk"; }
    ULONGLONG SizeOf(const std::string& path)
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
            return 0;
        return ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    }
};

} // namespace

TEST_F(SelfInstallTest, InstallsCopyShortcutsAndQuotedUninstallEntry)
{
    // A copy left by an earlier run is replaced.
    MakeFolders(Folder(FolderProgramFiles) + "\\Zembrio\\ZembrioInstaller");
    WriteTextFile(Installed(), "old copy");

    ASSERT_TRUE(app.InstallSelf());
    EXPECT_FALSE(frame.m_bFailed);
    EXPECT_EQ(SizeOf(app.m_strExePath), SizeOf(Installed()));
    EXPECT_EQ(Folder(FolderProgramFiles) + "\\Zembrio\\ZembrioInstaller", app.m_strUninstallFolder);
    EXPECT_EQ(Installed(), app.m_strUninstallExecutable);
    EXPECT_EQ(LinkIn(Folder(FolderDesktop)), app.m_strUninstallDesktopIcon);
    EXPECT_EQ(LinkIn(Folder(FolderStartMenu) + "\\Zembrio"), app.m_strUninstallStartMenuIcon);
    EXPECT_EQ(LinkIn(Folder(FolderStartup)), app.m_strUninstallStartupIcon);
    for (const std::string& path :
         {app.m_strUninstallDesktopIcon, app.m_strUninstallStartMenuIcon, app.m_strUninstallStartupIcon}) {
        LinkInfo link = ReadLink(path);
        ASSERT_TRUE(link.loaded) << path;
        EXPECT_EQ(ToLower(Installed()), ToLower(link.target));
        EXPECT_EQ("Resume Zembrio Installation", link.description);
    }
    EXPECT_EQ("Zembrio Installer", ReadValue(kEntryKey, "DisplayName"));
    EXPECT_EQ("\"" + Installed() + "\" /uninstall", ReadValue(kEntryKey, "UninstallString"));
}

TEST_F(SelfInstallTest, NoStartupShortcutWhereItWouldNotSurviveButPathRecorded)
{
    for (UINT bits : {(UINT)NeedDotNet, (UINT)Windows9x, (UINT)Windows2000}) {
        frame.m_nSystemType = bits;
        app.m_strUninstallStartupIcon.clear();
        ASSERT_TRUE(app.InstallSelf());
        EXPECT_EQ(LinkIn(Folder(FolderStartup)), app.m_strUninstallStartupIcon);
        EXPECT_FALSE(FileExists(app.m_strUninstallStartupIcon)) << bits;
        EXPECT_TRUE(FileExists(app.m_strUninstallDesktopIcon));
    }
}

TEST_F(SelfInstallTest, RunningTheInstalledCopyCopiesNothing)
{
    MakeFolders(Folder(FolderProgramFiles) + "\\Zembrio\\ZembrioInstaller");
    WriteTextFile(Installed(), "the running copy");
    std::string upper = Installed();
    for (char& c : upper)
        c = (char)toupper((unsigned char)c);
    app.m_strExePath = upper;
    ASSERT_TRUE(app.InstallSelf());
    EXPECT_EQ("the running copy", ReadTextFile(Installed()));
    EXPECT_TRUE(FileExists(app.m_strUninstallStartMenuIcon));
    EXPECT_EQ("\"" + Installed() + "\" /uninstall", ReadValue(kEntryKey, "UninstallString"));
}

TEST_F(SelfInstallTest, MissingUninstallKeyIsNoError)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    ASSERT_TRUE(app.InstallSelf());
    EXPECT_FALSE(frame.m_bFailed);
    EXPECT_EQ("<missing>", ReadValue(kEntryKey, "DisplayName"));
    EXPECT_TRUE(FileExists(app.m_strUninstallStartupIcon));
}

TEST_F(SelfInstallTest, FirstFailureReportsAndStops)
{
    app.m_astrShellFolder[FolderProgramFiles] = scratch.File("no\\such\\parent");
    EXPECT_FALSE(app.InstallSelf());
    EXPECT_TRUE(frame.m_bFailed);
    EXPECT_EQ("", app.m_strUninstallFolder);

    app.m_astrShellFolder[FolderProgramFiles] = scratch.File("Program Files");
    app.m_astrShellFolder[FolderDesktop] = scratch.File("no\\desktop");
    EXPECT_FALSE(app.InstallSelf());
    EXPECT_EQ(Installed(), app.m_strUninstallExecutable);
    EXPECT_EQ("", app.m_strUninstallDesktopIcon);
    EXPECT_EQ("<missing>", ReadValue(kEntryKey, "DisplayName"));

    LogEntries log = Log();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(LogEntries::value_type("Error", "permissions,cantcreatezembriofolder"), log[0]);
    EXPECT_EQ(LogEntries::value_type("Error", "permissions,cantcreatedesktopicon"), log[1]);
}

extern DWORD (*g_pfnGetTempPath)(DWORD, LPSTR);

// A fresh start whose self-installation fails after its copy: the record
// names the copy, which would pass for checks already made, while none of
// their results is recorded. The next start must be a fresh one that checks
// and installs itself again, not a resumption with the wrong components.
TEST_F(SelfInstallTest, FailureAfterTheCopyMakesTheNextStartAFreshOne)
{
    static std::string s_temp;
    s_temp = scratch.Path() + "\\";
    ScopedSeam<decltype(g_pfnGetTempPath)> temp(g_pfnGetTempPath, [](DWORD size, LPSTR buffer) -> DWORD {
        lstrcpynA(buffer, s_temp.c_str(), (int)size);
        return (DWORD)s_temp.size();
    });
    ScopedSeam<decltype(g_pfnGetVersionEx)> os(g_pfnGetVersionEx, [](OSVERSIONINFOA* info) WINAPI -> BOOL {
        *info = {};
        info->dwOSVersionInfoSize = sizeof *info;
        info->dwPlatformId = VER_PLATFORM_WIN32_NT;
        info->dwMajorVersion = 5;
        info->dwMinorVersion = 1;
        return TRUE;
    });
    app.LoadState();   // start-up's read of the (empty) record
    app.m_strExeVersion = app.m_strVersion = "2.0.320.0";
    app.m_strTempPath = scratch.File("Zembrio");
    ASSERT_TRUE(CreateDirectoryA(app.m_strTempPath.c_str(), nullptr));
    // The quiet copy cannot be written (a folder has its name): this test's
    // own program must not start.
    ASSERT_TRUE(CreateDirectoryA((app.m_strTempPath + "\\ZembrioInstaller.exe").c_str(), nullptr));
    app.m_bFreshStart = TRUE;
    app.m_bUIFlag = TRUE;   // the license was accepted
    ASSERT_TRUE(RemoveDirectoryA(Folder(FolderDesktop).c_str()));

    frame.m_nStage = 2;
    EXPECT_TRUE(frame.StartDownloads());   // the checks; the self-installation comes as a message
    EXPECT_FALSE(frame.OnSelfInstall());
    EXPECT_EQ(LogEntries::value_type("Error", "permissions,cantcreatedesktopicon"), Log().back());
    EXPECT_TRUE(FileExists(Installed()));
    app.m_pMainWnd = nullptr;   // the fixture's frame is not the application's to delete
    app.ExitInstance();

    CInstallerApp next;
    next.SetRegistryKey("Zembrio");
    next.m_strExeVersion = "2.0.320.0";
    next.LoadState();
    EXPECT_TRUE(next.DecideFreshStart());
}

TEST_F(SelfInstallTest, RemovalUndoesTheInstallationAndKeepsTheRunLog)
{
    ASSERT_TRUE(app.InstallSelf());
    WriteTextFile(scratch.File("setup.exe"), "download");
    WriteTextFile(scratch.File("ZembrioInstaller.exe"), "working copy");
    int sleeps = 0;
    static int* counter;
    counter = &sleeps;
    g_pfnUninstallSleep = [](DWORD) { ++*counter; };

    EXPECT_TRUE(app.RemoveInstallation());
    EXPECT_EQ(0, sleeps);
    EXPECT_TRUE(app.m_bCompleted);
    for (const std::string& path : {app.m_strUninstallDesktopIcon, app.m_strUninstallStartMenuIcon,
                                    app.m_strUninstallStartupIcon, app.m_strUninstallExecutable,
                                    app.m_strUninstallFolder, scratch.File("setup.exe")})
        EXPECT_FALSE(FileExists(path)) << path;
    EXPECT_EQ("<missing>", ReadValue(kEntryKey, "DisplayName"));
    HKEY key;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEntryKey, 0, KEY_READ, &key));
    EXPECT_TRUE(FileExists(scratch.File("log.txt")));
    // The start-menu folder and the installation root stay.
    EXPECT_TRUE(FileExists(Folder(FolderStartMenu) + "\\Zembrio"));
    EXPECT_TRUE(FileExists(Folder(FolderProgramFiles) + "\\Zembrio"));
}

TEST_F(SelfInstallTest, RemovalDeletesNothingElseARecordNames)
{
    // Any program of the user can write the record; the uninstallation may
    // run elevated.
    ScratchFolder elsewhere;   // not the working folder, which is purged
    std::string victim = elsewhere.File("victim.txt");
    std::string folder = elsewhere.File("victim");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    app.m_strUninstallStartupIcon = app.m_strUninstallStartMenuIcon = app.m_strUninstallDesktopIcon = victim;
    for (const char* name : {"victim.txt", "ZembrioInstaller.exe.txt", "xZembrioInstaller.exe"}) {
        SCOPED_TRACE(name);
        WriteTextFile(elsewhere.File(name), "not the installer's");
        app.m_strUninstallExecutable = elsewhere.File(name);
        app.m_strUninstallFolder = folder;
        g_pfnUninstallSleep = [](DWORD) {};
        EXPECT_TRUE(app.RemoveInstallation());
        EXPECT_TRUE(FileExists(elsewhere.File(name)));
    }
    EXPECT_TRUE(FileExists(victim));
    EXPECT_TRUE(FileExists(folder));
}

TEST_F(SelfInstallTest, RemovalWithNothingRecordedStillCompletes)
{
    app.m_strTempPath.clear();
    EXPECT_TRUE(app.RemoveInstallation());
    EXPECT_TRUE(app.m_bCompleted);
}

TEST_F(SelfInstallTest, AccessDeniedCopyIsRetriedFiveTimes)
{
    ASSERT_TRUE(app.InstallSelf());
    // A read-only file refuses deletion with ERROR_ACCESS_DENIED, as a copy
    // still running does.
    SetFileAttributesA(Installed().c_str(), FILE_ATTRIBUTE_READONLY);
    static int sleeps;
    sleeps = 0;
    g_pfnUninstallSleep = [](DWORD ms) {
        EXPECT_EQ(1000u, ms);
        sleeps++;
    };
    app.RemoveInstallation();
    EXPECT_EQ(5, sleeps);
    EXPECT_TRUE(FileExists(Installed()));
    EXPECT_TRUE(FileExists(app.m_strUninstallFolder));
    EXPECT_FALSE(FileExists(app.m_strUninstallDesktopIcon));

    // Released during the retries: gone at the next attempt.
    static std::string path;
    path = Installed();
    sleeps = 0;
    g_pfnUninstallSleep = [](DWORD) {
        if (++sleeps == 2)
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    };
    app.RemoveInstallation();
    EXPECT_EQ(2, sleeps);
    EXPECT_FALSE(FileExists(Installed()));
    EXPECT_FALSE(FileExists(app.m_strUninstallFolder));
}

TEST_F(SelfInstallTest, OtherDeleteErrorsAreNotRetried)
{
    ASSERT_TRUE(app.InstallSelf());
    HANDLE held = CreateFileA(Installed().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    static int sleeps;
    sleeps = 0;
    g_pfnUninstallSleep = [](DWORD) { sleeps++; };
    app.RemoveInstallation();
    CloseHandle(held);
    EXPECT_EQ(0, sleeps); // a sharing violation is not access denied
    EXPECT_TRUE(FileExists(Installed()));
}

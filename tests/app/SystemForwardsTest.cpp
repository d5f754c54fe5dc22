#include <winsock2.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <cstring>
#include <string>
#include "support/AppFixture.h"
#include "system/Prerequisites.h"
#include "system/SystemType.h"
#include "system/WorkingFolder.h"

// What the window and the application make of the system room: which of
// their folders they hand it, where they keep what it found or made, how
// they report what it refused; and the stage-2 steps around it.

namespace {

class SystemForwardsTest : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        CoInitialize(nullptr);
        for (int i = 0; i < ShellFolderCount; i++) {
            app.m_astrShellFolder[i] = folder.File(ShellFolderName(i));
            CreateDirectoryA(app.m_astrShellFolder[i].c_str(), nullptr);
        }
        ActAs(VER_PLATFORM_WIN32_NT, 5, 1);
        g_testTempPath = folder.Path() + "\\";
    }
    std::string Folder(int which) const { return app.m_astrShellFolder[which]; }

    ScopedSeam<decltype(g_pfnGetVersionEx)> os{g_pfnGetVersionEx, TestGetVersionEx};
    ScopedSeam<decltype(g_pfnGetTempPath)> temp{g_pfnGetTempPath, TestTempPath};
};

} // namespace

// Stage 2 of a fresh start: 200 MiB free on the system's drive, or it stops
// with the number as the error's name; then the checks, which find all
// current only through the Common Files and Windows folders (XP: no flag,
// .NET ready; Windows 95 refused, no .NET decision). (Wine reads its own msado15.dll in place of any file of that name unless
// told otherwise: tests/CMakeLists.txt tells it.)
TEST_F(SystemForwardsTest, DownloadStageNeedsTheSpaceThenChecksThroughTheCommonFilesAndWindowsFolders)
{
    PlantString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\DataAccess", "FullInstallVer", "2.81.1117.0");
    PlantVersionDll("2.81.1117.0", Folder(FolderCommonFiles) + "\\system\\ado\\msado15.dll");
    PlantString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727", nullptr, "");
    PlantVersionDll("2.0.50727.42", Folder(FolderWindows) + "\\Microsoft.NET\\Framework\\v2.0.50727\\mscorlib.dll");
    PlantString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\DirectX", "Version", "4.09.00.0904");
    static ULONGLONG s_freeBytes;
    ScopedSeam<decltype(g_pfnGetDiskFreeSpaceEx)> disk(
        g_pfnGetDiskFreeSpaceEx,
        [](LPCSTR, PULARGE_INTEGER available, PULARGE_INTEGER total, PULARGE_INTEGER totalFree) WINAPI -> BOOL {
            available->QuadPart = total->QuadPart = totalFree->QuadPart = s_freeBytes;
            return TRUE;
        });
    const struct {
        int freeMb;
        DWORD platform, major, minor;
        bool dotNetReady;
        const char* logged;   // null: no error
    } cases[] = {
        {199, VER_PLATFORM_WIN32_NT, 5, 1, false, "Error=diskspace,199"},
        {200, VER_PLATFORM_WIN32_NT, 5, 1, true, nullptr},
        {200, VER_PLATFORM_WIN32_WINDOWS, 4, 0, false, "Error=unsupportedos,nt4orw95"},
    };
    app.m_bFreshStart = TRUE;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged ? c.logged : "XP");
        s_freeBytes = ((ULONGLONG)c.freeMb << 20) + 1048575;
        ActAs(c.platform, c.major, c.minor);
        frame->m_nSystemType = ~0u;
        frame->m_bDotNetReady = false;
        frame->m_bFailed = false;
        EXPECT_EQ(!c.logged, !!frame->StartDownloads());
        EXPECT_EQ(!!c.logged, frame->m_bFailed);
        EXPECT_EQ(c.dotNetReady, frame->m_bDotNetReady);
        EXPECT_EQ(c.logged ? c.logged : "", c.logged ? LogLines().back() : "");
        EXPECT_EQ(c.freeMb < 200 ? ~0u : 0u, (UINT)frame->m_nSystemType);
    }
}

// A fresh start whose self-installation fails at the start-menu folder:
// what it made is kept under the names the record has for it, and the
// error is one of permissions. The record names the copy,
// which would pass for checks already made, while none of their results is
// recorded: the next start must be a fresh one that checks and installs
// itself again, not a resumption with the wrong components.
TEST_F(SystemForwardsTest, FailedSelfInstallationKeepsWhatItMadeAndMakesTheNextStartAFreshOne)
{
    PlantString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", nullptr, "");
    app.m_strAppName = "Zembrio Installer";
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    app.m_strExePath = self;
    app.LoadState();   // start-up's read of the (empty) record
    app.m_strExeVersion = app.m_strVersion = "2.0.320.0";
    app.m_strTempPath = folder.File("Zembrio");
    ASSERT_TRUE(CreateDirectoryA(app.m_strTempPath.c_str(), nullptr));
    // The quiet copy cannot be written (a folder has its name): this test's
    // own program must not start.
    ASSERT_TRUE(CreateDirectoryA((app.m_strTempPath + "\\ZembrioInstaller.exe").c_str(), nullptr));
    app.m_bFreshStart = TRUE;
    app.m_bUIFlag = TRUE;   // the license was accepted
    ASSERT_TRUE(RemoveDirectoryA(Folder(FolderStartMenu).c_str()));

    frame->m_nStage = 2;
    EXPECT_TRUE(frame->StartDownloads());   // the checks; the self-installation comes as a message
    EXPECT_FALSE(frame->OnSelfInstall());
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_EQ("Error=permissions,cantcreatestartfolder", LogLines().back());
    EXPECT_EQ(Folder(FolderProgramFiles) + "\\Zembrio\\ZembrioInstaller", app.m_strUninstallFolder);
    EXPECT_EQ(app.m_strUninstallFolder + "\\ZembrioInstaller.exe", app.m_strUninstallExecutable);
    EXPECT_EQ(Folder(FolderDesktop) + "\\Resume Zembrio Installation.lnk", app.m_strUninstallDesktopIcon);
    EXPECT_EQ("", app.m_strUninstallStartMenuIcon);
    app.m_pMainWnd = nullptr;   // the fixture's frame is not the application's to delete
    app.ExitInstance();

    CInstallerApp next;
    next.SetRegistryKey("Zembrio");
    next.m_strExeVersion = "2.0.320.0";
    next.LoadState();
    EXPECT_TRUE(next.DecideFreshStart());
}

// The working folder's refusals are file errors; the record's folder changes
// only where a new one was named (a fresh start that succeeds is the
// end-to-end tests' first step).
TEST_F(SystemForwardsTest, PrepareWorkingFolderKeepsTheNamedFolderAndReportsTheRefusal)
{
    const struct {
        std::string temp;   // empty: none
        std::string tempPath;
        const char* logged;
    } cases[] = {
        {"", "previous", "Error=fileio,cantcreatetempfolder2"},
        {folder.File("missing\\"), folder.File("missing\\Zembrio"), "Error=fileio,cantcreatetempfolder1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        g_testTempPath = c.temp;
        app.m_bFreshStart = TRUE;
        app.m_strTempPath = "previous";
        frame->m_bFailed = false;
        EXPECT_FALSE(app.PrepareWorkingFolder());
        EXPECT_EQ(c.tempPath, app.m_strTempPath);
        EXPECT_TRUE(frame->m_bFailed);
        EXPECT_EQ(c.logged, LogLines().back());
    }
}

// A library that cannot be written is a file error, and leaves the folders
// unread, not looked up through nothing.
TEST_F(SystemForwardsTest, ShellFolderLibraryThatCannotBeWrittenIsReportedAndNoFolderRead)
{
    app.m_strTempFolder = folder.File("missing");
    EXPECT_FALSE(app.ExtractShellFolderLibrary());
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_EQ(nullptr, app.m_pfnSHGetFolderPath);
    for (std::string& f : app.m_astrShellFolder)
        f.clear();
    EXPECT_TRUE(app.ReadShellFolders());
    for (const std::string& f : app.m_astrShellFolder)
        EXPECT_EQ("", f);
    EXPECT_EQ(std::vector<std::string>{"Error=fileio,cantextractshelldll"}, LogLines());
    EXPECT_TRUE(app.ReleaseShellFolderLibrary());
}

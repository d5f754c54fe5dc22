#include <gtest/gtest.h>
#include "system/Prerequisites.h"
#include "SystemTestSupport.h"

namespace {

// Copies a built version DLL (named by its version) to a place a check reads.
void PlantVersionDll(const char* version, const std::string& target)
{
    std::string name = version;
    for (char& c : name)
        if (c == '.')
            c = '_';
    std::string source = std::string(ZEMBRIO_VERSION_DLL_DIR) + "/version_" + name + ".dll";
    MakeFolders(target.substr(0, target.rfind('\\')));
    ASSERT_TRUE(CopyFileA(source.c_str(), target.c_str(), FALSE)) << source;
}

const char kMdacKey[] = "Software\\Microsoft\\DataAccess";
const char kNdpKey[] = "Software\\Microsoft\\NET Framework Setup\\NDP";
const char kDirectXKey[] = "Software\\Microsoft\\DirectX";

class PrerequisitesTest : public SystemTest {
protected:
    std::string Msado() { return app.m_astrShellFolder[FolderCommonFiles] + "\\system\\ado\\msado15.dll"; }
    std::string Mscorlib(const char* subkey)
    {
        return app.m_astrShellFolder[FolderWindows] + "\\Microsoft.NET\\Framework\\" + subkey + "\\mscorlib.dll";
    }
};

// The OS the next CheckPrerequisites sees.
OSVERSIONINFOA g_fakeOs;
BOOL g_fakeOsResult = TRUE;
BOOL WINAPI FakeGetVersionEx(OSVERSIONINFOA* info)
{
    *info = g_fakeOs;
    return g_fakeOsResult;
}

struct OsSeam {
    OsSeam(DWORD platform, DWORD major, DWORD minor, BOOL result = TRUE)
    {
        g_fakeOs = {};
        g_fakeOs.dwOSVersionInfoSize = sizeof g_fakeOs;
        g_fakeOs.dwPlatformId = platform;
        g_fakeOs.dwMajorVersion = major;
        g_fakeOs.dwMinorVersion = minor;
        g_fakeOsResult = result;
        g_pfnGetVersionEx = FakeGetVersionEx;
    }
    ~OsSeam() { g_pfnGetVersionEx = GetVersionExA; }
};

} // namespace

TEST(VersionTest, ComparesFromTheLeftAsUnsignedNumbers)
{
    FourPartVersion v;
    ASSERT_TRUE(ParseDottedVersion("2.71.9030.0", 4, false, v));
    EXPECT_TRUE(VersionAtLeast(v, {2, 71, 9030, 0}));
    EXPECT_FALSE(VersionAtLeast({2, 71, 9029, 99}, v));
    EXPECT_TRUE(VersionAtLeast({2, 80, 0, 0}, v));
    EXPECT_TRUE(VersionAtLeast({0x80000000u, 0, 0, 0}, {1, 0, 0, 0}));
    EXPECT_EQ("2.71.9030.0", VersionText(v));

    EXPECT_TRUE(VersionInBand({2, 0, 50727, 0}, {2, 0, 50727, 0}, 3, 0));
    EXPECT_TRUE(VersionInBand({2, 9, 0, 0}, {2, 0, 50727, 0}, 3, 0));
    EXPECT_FALSE(VersionInBand({3, 0, 0, 0}, {2, 0, 50727, 0}, 3, 0));
    EXPECT_FALSE(VersionInBand({2, 0, 50726, 9}, {2, 0, 50727, 0}, 3, 0));
}

TEST(VersionTest, TextsWithTooFewNumbersDoNotQualify)
{
    FourPartVersion v;
    EXPECT_FALSE(ParseDottedVersion("2.81", 4, false, v));
    EXPECT_FALSE(ParseDottedVersion("", 4, false, v));
    EXPECT_FALSE(ParseDottedVersion("v3.0", 3, true, v));
    EXPECT_FALSE(ParseDottedVersion("2.0.50727", 3, true, v)); // no "v"
    ASSERT_TRUE(ParseDottedVersion("v2.0.50727", 3, true, v));
    EXPECT_EQ("2.0.50727.0", VersionText(v));
}

TEST_F(PrerequisitesTest, FileVersionComesFromTheFixedRecord)
{
    PlantVersionDll("2.0.50727.42", scratch.File("a.dll"));
    FourPartVersion v;
    ASSERT_TRUE(GetFileVersion(scratch.File("a.dll"), v));
    EXPECT_EQ("2.0.50727.42", VersionText(v));
    WriteTextFile(scratch.File("plain.dll"), "no resources here");
    EXPECT_FALSE(GetFileVersion(scratch.File("plain.dll"), v));
    EXPECT_FALSE(GetFileVersion(scratch.File("missing.dll"), v));
}

TEST_F(PrerequisitesTest, MdacRegistryVersionDecidesBeforeTheDll)
{
    EXPECT_TRUE(IsMdacNeeded(reports, app.m_astrShellFolder[FolderCommonFiles]));
    PlantString(HKEY_LOCAL_MACHINE, kMdacKey, nullptr, "");
    EXPECT_TRUE(IsMdacNeeded(reports, app.m_astrShellFolder[FolderCommonFiles]));
    // A current DLL does not help an old registered version: it is not read.
    PlantVersionDll("2.81.1117.0", Msado());
    PlantString(HKEY_LOCAL_MACHINE, kMdacKey, "FullInstallVer", "2.70.7713.4");
    EXPECT_TRUE(IsMdacNeeded(reports, app.m_astrShellFolder[FolderCommonFiles]));
    PlantString(HKEY_LOCAL_MACHINE, kMdacKey, "FullInstallVer", "2.81");
    EXPECT_TRUE(IsMdacNeeded(reports, app.m_astrShellFolder[FolderCommonFiles]));
    LogEntries expected = {{"MDAC Reg Ver", "Not Installed-2"},
                           {"MDAC Reg Ver", "Not Installed-1"},
                           {"MDAC Reg Ver", "2.70.7713.4"},
                           {"MDAC Reg Ver", "2.81"}};
    EXPECT_EQ(expected, Log());
}

TEST_F(PrerequisitesTest, MdacNeedsACurrentDllToo)
{
    PlantString(HKEY_LOCAL_MACHINE, kMdacKey, "FullInstallVer", "2.81.1117.0");
    EXPECT_TRUE(IsMdacNeeded(reports, app.m_astrShellFolder[FolderCommonFiles]));
    PlantVersionDll("2.71.9029.0", Msado());
    EXPECT_TRUE(IsMdacNeeded(reports, app.m_astrShellFolder[FolderCommonFiles]));
    PlantVersionDll("2.81.1117.0", Msado());
    EXPECT_FALSE(IsMdacNeeded(reports, app.m_astrShellFolder[FolderCommonFiles]));
    LogEntries expected = {{"MDAC Reg Ver", "2.81.1117.0"},
                           {"IsMDACNeeded Error", "msado15.dll does not contain version information or does not exist"},
                           {"MDAC Reg Ver", "2.81.1117.0"},
                           {"MSADO15.DLL Ver", "2.71.9029.0"},
                           {"MDAC Reg Ver", "2.81.1117.0"},
                           {"MSADO15.DLL Ver", "2.81.1117.0"}};
    EXPECT_EQ(expected, Log());
}

TEST_F(PrerequisitesTest, DotNetFirstQualifyingSubkeyDecides)
{
    PlantString(HKEY_LOCAL_MACHINE, std::string(kNdpKey) + "\\v1.1.4322", nullptr, "");
    PlantString(HKEY_LOCAL_MACHINE, std::string(kNdpKey) + "\\v2.0.50727", nullptr, "");
    PlantString(HKEY_LOCAL_MACHINE, std::string(kNdpKey) + "\\v2.5.0", nullptr, "");
    PlantVersionDll("2.0.50727.42", Mscorlib("v2.0.50727"));
    EXPECT_FALSE(IsDotNetNeeded(reports, app.m_astrShellFolder[FolderWindows]));
    LogEntries expected = {{"DOTNET FX Ver", "v1.1.4322"},
                           {"DOTNET FX Ver", "v2.0.50727"},
                           {"MSCORLIB.DLL Ver", "2.0.50727.42"}};
    EXPECT_EQ(expected, Log());
}

TEST_F(PrerequisitesTest, DotNetOutsideTheTwoBandIsNeeded)
{
    EXPECT_TRUE(IsDotNetNeeded(reports, app.m_astrShellFolder[FolderWindows]));
    for (const char* sub : {"v1.1.4322", "v3.0", "v4.0.30319"}) {
        PlantString(HKEY_LOCAL_MACHINE, std::string(kNdpKey) + "\\" + sub, nullptr, "");
        PlantVersionDll("3.0.4506.30", Mscorlib(sub));
    }
    EXPECT_TRUE(IsDotNetNeeded(reports, app.m_astrShellFolder[FolderWindows]));
    LogEntries expected = {{"DOTNET FX Ver", "Not Installed"},
                           {"DOTNET FX Ver", "v1.1.4322"},
                           {"DOTNET FX Ver", "v3.0"},
                           {"DOTNET FX Ver", "v4.0.30319"},
                           {"IsDotnetNeeded Error", "can't enumerate registry keys"}};
    EXPECT_EQ(expected, Log());
}

TEST_F(PrerequisitesTest, DotNetNeedsAMatchingMscorlib)
{
    PlantString(HKEY_LOCAL_MACHINE, std::string(kNdpKey) + "\\v2.0.50727", nullptr, "");
    EXPECT_TRUE(IsDotNetNeeded(reports, app.m_astrShellFolder[FolderWindows]));
    PlantVersionDll("2.0.50000.0", Mscorlib("v2.0.50727"));
    EXPECT_TRUE(IsDotNetNeeded(reports, app.m_astrShellFolder[FolderWindows]));
    LogEntries expected = {{"DOTNET FX Ver", "v2.0.50727"},
                           {"IsDotnetNeeded Error", "mscorlib.dll does not contain version information"},
                           {"DOTNET FX Ver", "v2.0.50727"},
                           {"MSCORLIB.DLL Ver", "2.0.50000.0"}};
    EXPECT_EQ(expected, Log());
}

TEST_F(PrerequisitesTest, DirectXVersionIsComparedAsText)
{
    EXPECT_TRUE(IsDirectXOld(reports));
    PlantString(HKEY_LOCAL_MACHINE, kDirectXKey, nullptr, "");
    EXPECT_TRUE(IsDirectXOld(reports));
    struct {
        const char* version;
        bool old;
    } cases[] = {{"4.08", true}, {"4.07.00.0700", true}, {"", true}, {"4.08.00.0400", false}, {"4.09.00.0904", false}};
    for (auto& c : cases) {
        PlantString(HKEY_LOCAL_MACHINE, kDirectXKey, "Version", c.version);
        EXPECT_EQ(c.old, IsDirectXOld(reports)) << c.version;
    }
    LogEntries log = Log();
    ASSERT_EQ(7u, log.size());
    EXPECT_EQ(LogEntries::value_type("DirectX Reg Ver", "Not Installed-2"), log[0]);
    EXPECT_EQ(LogEntries::value_type("DirectX Reg Ver", "Not Installed-1"), log[1]);
    EXPECT_EQ(LogEntries::value_type("DirectX Reg Ver", "4.08.00.0400"), log[5]);
}

// A machine with everything current, so only the OS bits vary.
class CheckPrerequisitesTest : public PrerequisitesTest {
protected:
    void SetUp() override
    {
        PrerequisitesTest::SetUp();
        PlantString(HKEY_LOCAL_MACHINE, kMdacKey, "FullInstallVer", "2.81.1117.0");
        PlantVersionDll("2.81.1117.0", Msado());
        PlantString(HKEY_LOCAL_MACHINE, std::string(kNdpKey) + "\\v2.0.50727", nullptr, "");
        PlantVersionDll("2.0.50727.42", Mscorlib("v2.0.50727"));
        PlantString(HKEY_LOCAL_MACHINE, kDirectXKey, "Version", "4.09.00.0904");
    }
    void RemoveDotNet() { DeleteFileA(Mscorlib("v2.0.50727").c_str()); }
};

TEST_F(CheckPrerequisitesTest, OsFamiliesSetTheirBits)
{
    struct {
        DWORD platform, major, minor;
        BOOL ok;
        UINT bits;
    } cases[] = {
        {VER_PLATFORM_WIN32_WINDOWS, 4, 10, TRUE, Windows9x}, {VER_PLATFORM_WIN32_WINDOWS, 4, 90, TRUE, Windows9x},
        {VER_PLATFORM_WIN32_NT, 5, 0, TRUE, Windows2000},     {VER_PLATFORM_WIN32_NT, 5, 1, TRUE, 0},
        {VER_PLATFORM_WIN32_NT, 6, 0, TRUE, WindowsVista},    {VER_PLATFORM_WIN32_NT, 5, 0, FALSE, 0},
        // Windows 8 to 11 answer 6.2 to a program whose manifest names no
        // later system (the installer's names none): the Vista path.
        {VER_PLATFORM_WIN32_NT, 6, 2, TRUE, WindowsVista},
    };
    for (auto& c : cases) {
        OsSeam os(c.platform, c.major, c.minor, c.ok);
        frame.m_bDotNetReady = false;
        frame.CheckPrerequisites();
        EXPECT_EQ(c.bits, (UINT)frame.m_nSystemType) << c.platform << " " << c.major << "." << c.minor;
        EXPECT_TRUE(frame.m_bDotNetReady);
    }
    EXPECT_FALSE(frame.m_bFailed);
}

TEST_F(CheckPrerequisitesTest, MissingDotNetIsNeededExceptOnVista)
{
    RemoveDotNet();
    {
        OsSeam os(VER_PLATFORM_WIN32_NT, 5, 1);
        frame.CheckPrerequisites();
        EXPECT_EQ((UINT)NeedDotNet, (UINT)frame.m_nSystemType);
        EXPECT_FALSE(frame.m_bDotNetReady);
    }
    OsSeam os(VER_PLATFORM_WIN32_NT, 6, 0);
    frame.CheckPrerequisites();
    EXPECT_EQ((UINT)WindowsVista, (UINT)frame.m_nSystemType);
    EXPECT_TRUE(frame.m_bDotNetReady);
}

TEST_F(CheckPrerequisitesTest, Windows95AndNt4AreRefused)
{
    RemoveDotNet();
    PlantString(HKEY_LOCAL_MACHINE, kDirectXKey, "Version", "4.08");
    for (DWORD platform : {VER_PLATFORM_WIN32_WINDOWS, VER_PLATFORM_WIN32_NT}) {
        frame.m_bFailed = false;
        OsSeam os(platform, 4, 0);
        frame.CheckPrerequisites();
        // The component bits are already in; no OS bit, no .NET decision.
        EXPECT_EQ((UINT)(NeedDotNet | OldDirectX), (UINT)frame.m_nSystemType);
        EXPECT_FALSE(frame.m_bDotNetReady);
        EXPECT_TRUE(frame.m_bFailed);
    }
    int refusals = 0;
    for (auto& entry : Log())
        refusals += entry == LogEntries::value_type("Error", "unsupportedos,nt4orw95");
    EXPECT_EQ(2, refusals);
}

TEST_F(CheckPrerequisitesTest, MainAppFoundThroughItsQuotedFolder)
{
    OsSeam os(VER_PLATFORM_WIN32_NT, 5, 1);
    std::string folder = scratch.File("Zembrio App");
    CreateDirectoryA(folder.c_str(), nullptr);
    PlantString(HKEY_CURRENT_USER, "Software\\Zembrio", "ZembrioAppPath", "\"" + folder + "\"");
    frame.CheckPrerequisites();
    EXPECT_EQ(0u, (UINT)frame.m_nSystemType);

    WriteTextFile(folder + "\\ZembrioMain.exe", "x");
    frame.CheckPrerequisites();
    EXPECT_EQ((UINT)MainAppPresent, (UINT)frame.m_nSystemType);
    PlantString(HKEY_CURRENT_USER, "Software\\Zembrio", "ZembrioAppPath", folder + "\\");
    frame.CheckPrerequisites();
    EXPECT_EQ((UINT)MainAppPresent, (UINT)frame.m_nSystemType);
    PlantString(HKEY_CURRENT_USER, "Software\\Zembrio", "ZembrioAppPath", "");
    frame.CheckPrerequisites();
    EXPECT_EQ(0u, (UINT)frame.m_nSystemType);
}

TEST_F(PrerequisitesTest, MainAppRunningIsFoundByExactFileName)
{
    // The process list's text: bare names on NT, full paths on the 9x family.
    struct {
        const char* exeFile;
        bool main;
    } names[] = {
        {"ZembrioMain.exe", true},
        {"zembriomain.EXE", true},
        {"C:\\PROGRAM FILES\\ZEMBRIO\\ZEMBRIOMAIN.EXE", true},
        {"C:/Program Files/Zembrio/ZembrioMain.exe", true},
        {"C:\\OLD\\ZEMBRIOMAIN.EXE\\OTHER.EXE", false},
        {"xZembrioMain.exe", false},
        {"C:\\ZEMBRIO\\xZembrioMain.exe", false},
        {"ZembrioMain.exe.bak", false},
        {"ZembrioMain", false},
        {"C:\\ZEMBRIO\\", false},
        {"", false},
    };
    for (const auto& n : names)
        EXPECT_EQ(n.main, IsMainAppExeName(n.exeFile)) << n.exeFile;

    std::string standin = std::string(ZEMBRIO_STANDIN_DIR) + "/zembriomain_standin.exe";
    auto run = [&](const std::string& exe, PROCESS_INFORMATION& pi) {
        ASSERT_TRUE(CopyFileA(standin.c_str(), exe.c_str(), FALSE));
        std::string cmd = "\"" + exe + "\" --stay 20";
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        ASSERT_TRUE(CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    };
    // A folder named like the application does not count, only the file name.
    std::string decoy = scratch.File("old zembriomain.exe");
    CreateDirectoryA(decoy.c_str(), nullptr);
    PROCESS_INFORMATION other = {}, main = {};
    run(decoy + "\\other.exe", other);
    Sleep(300);
    EXPECT_FALSE(IsMainAppRunning());
    run(scratch.File("ZembrioMain.EXE"), main);
    Sleep(300);
    EXPECT_TRUE(IsMainAppRunning());
    for (PROCESS_INFORMATION* pi : {&other, &main}) {
        TerminateProcess(pi->hProcess, 0);
        WaitForSingleObject(pi->hProcess, 5000);
        CloseHandle(pi->hProcess);
        CloseHandle(pi->hThread);
    }
    EXPECT_FALSE(IsMainAppRunning());
}

// The same answers where kernel32 has no GetDiskFreeSpaceExA (the first
// Windows 95) as where it has; free bytes past 4 GiB must not wrap.
TEST(FreeMegabytesTest, UsesTheDriveRootOfAnyPathWithOrWithoutTheExtendedQuery)
{
    auto extended = g_pfnGetDiskFreeSpaceEx;
    ASSERT_NE(nullptr, extended);
    UINT reference = FreeMegabytes("C:\\");
    for (auto query : {extended, decltype(extended)(nullptr)}) {
        SCOPED_TRACE(query ? "GetDiskFreeSpaceExA" : "GetDiskFreeSpaceA");
        g_pfnGetDiskFreeSpaceEx = query;
        UINT root = FreeMegabytes("C:\\");
        EXPECT_GT(root, 0u);
        EXPECT_LE(root > reference ? root - reference : reference - root, 16u);
        UINT deep = FreeMegabytes("C:\\no\\such\\folder");
        EXPECT_LE(deep > root ? deep - root : root - deep, 16u);
        EXPECT_EQ(0u, FreeMegabytes("Q:\\nothing"));
    }
    g_pfnGetDiskFreeSpaceEx = extended;
}

// The download stage needs 200 MiB on the system's drive: 199 stops it with
// the number as the error's name, 200 goes on to the checks (here refusing
// Windows 95, which shows that they ran).
TEST_F(PrerequisitesTest, DownloadStageNeedsTwoHundredMegabytesFree)
{
    static ULONGLONG s_freeBytes;
    ScopedSeam<decltype(g_pfnGetDiskFreeSpaceEx)> disk(
        g_pfnGetDiskFreeSpaceEx,
        [](LPCSTR, PULARGE_INTEGER available, PULARGE_INTEGER total, PULARGE_INTEGER totalFree) WINAPI -> BOOL {
            available->QuadPart = total->QuadPart = totalFree->QuadPart = s_freeBytes;
            return TRUE;
        });
    OsSeam windows95(VER_PLATFORM_WIN32_WINDOWS, 4, 0);
    app.m_bFreshStart = TRUE;
    for (auto c : {std::make_pair(199, "Error=diskspace,199"), std::make_pair(200, "Error=unsupportedos,nt4orw95")}) {
        s_freeBytes = ((ULONGLONG)c.first << 20) + 1048575;
        frame.m_bFailed = false;
        EXPECT_FALSE(frame.StartDownloads());
        LogEntries log = Log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(c.second, log.back().first + "=" + log.back().second);
    }
}

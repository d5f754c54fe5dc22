#include "SystemTestSupport.h"
#include <gtest/gtest.h>
#include <cstring>
#include "system/Prerequisites.h"
#include "system/SystemType.h"

namespace {

const char kMdacKey[] = "Software\\Microsoft\\DataAccess";
const char kNdpKey[] = "Software\\Microsoft\\NET Framework Setup\\NDP";
const char kDirectXKey[] = "Software\\Microsoft\\DirectX";
const char kNoKey[] = "<no key>";
const char kNoValue[] = "<no value>";

// A key with one string value, or the key without it (kNoValue), or no key
// at all (kNoKey).
void PlantValue(const char* key, const char* name, const char* value)
{
    RemoveKey(HKEY_LOCAL_MACHINE, key);
    if (strcmp(value, kNoKey) != 0)
        PlantString(HKEY_LOCAL_MACHINE, key, strcmp(value, kNoValue) ? name : nullptr, value);
}

std::string Msado(const std::string& commonFiles)
{
    return commonFiles + "\\system\\ado\\msado15.dll";
}
std::string Mscorlib(const std::string& windows, const char* subkey)
{
    return windows + "\\Microsoft.NET\\Framework\\" + subkey + "\\mscorlib.dll";
}


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

TEST_F(SystemTest, FileVersionComesFromTheFixedRecord)
{
    PlantVersionDll("2.0.50727.42", scratch.File("a.dll"));
    FourPartVersion v;
    ASSERT_TRUE(GetFileVersion(scratch.File("a.dll"), v));
    EXPECT_EQ("2.0.50727.42", VersionText(v));
    WriteTextFile(scratch.File("plain.dll"), "no resources here");
    EXPECT_FALSE(GetFileVersion(scratch.File("plain.dll"), v));
    EXPECT_FALSE(GetFileVersion(scratch.File("missing.dll"), v));
}

// The registered version decides first (a current DLL does not help an old
// or unreadable one: it is not read), then the DLL's own.
TEST_F(SystemTest, MdacNeedsACurrentRegisteredVersionAndDll)
{
    const char kNoDll[] = "IsMDACNeeded Error=msado15.dll does not contain version information or does not exist";
    const struct {
        const char* registered;
        const char* dll;   // nullptr: none
        bool needed;
        std::vector<std::string> log;
    } cases[] = {
        {kNoKey, nullptr, true, {"MDAC Reg Ver=Not Installed-2"}},
        {kNoValue, nullptr, true, {"MDAC Reg Ver=Not Installed-1"}},
        {"2.70.7713.4", "2.81.1117.0", true, {"MDAC Reg Ver=2.70.7713.4"}},
        {"2.81", "2.81.1117.0", true, {"MDAC Reg Ver=2.81"}},
        {"2.81.1117.0", nullptr, true, {"MDAC Reg Ver=2.81.1117.0", kNoDll}},
        {"2.81.1117.0", "2.71.9029.0", true, {"MDAC Reg Ver=2.81.1117.0", "MSADO15.DLL Ver=2.71.9029.0"}},
        {"2.81.1117.0", "2.81.1117.0", false, {"MDAC Reg Ver=2.81.1117.0", "MSADO15.DLL Ver=2.81.1117.0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.registered) + " / " + (c.dll ? c.dll : "no DLL"));
        ScratchFolder commonFiles;
        PlantValue(kMdacKey, "FullInstallVer", c.registered);
        if (c.dll)
            PlantVersionDll(c.dll, Msado(commonFiles.Path()));
        size_t from = LogLines().size();
        EXPECT_EQ(c.needed, IsMdacNeeded(reports, commonFiles.Path()));
        EXPECT_EQ(c.log, LinesSince(from));
    }
}

// The first subkey in the 2.x band decides, by its mscorlib.dll; later ones
// are never looked at.
TEST_F(SystemTest, DotNetIsDecidedByTheFirstTwoBandSubkeyAndItsMscorlib)
{
    const char kCantEnumerate[] = "IsDotnetNeeded Error=can't enumerate registry keys";
    const struct {
        std::vector<std::pair<const char*, const char*>> subkeys;   // with mscorlib's version; none: no key
        bool needed;
        std::vector<std::string> log;
    } cases[] = {
        {{}, true, {"DOTNET FX Ver=Not Installed"}},
        {{{"v1.1.4322", "3.0.4506.30"}, {"v3.0", "3.0.4506.30"}, {"v4.0.30319", "3.0.4506.30"}},
         true,
         {"DOTNET FX Ver=v1.1.4322", "DOTNET FX Ver=v3.0", "DOTNET FX Ver=v4.0.30319", kCantEnumerate}},
        {{{"v2.0.50727", nullptr}},
         true,
         {"DOTNET FX Ver=v2.0.50727", "IsDotnetNeeded Error=mscorlib.dll does not contain version information"}},
        {{{"v2.0.50727", "2.0.50000.0"}}, true, {"DOTNET FX Ver=v2.0.50727", "MSCORLIB.DLL Ver=2.0.50000.0"}},
        {{{"v1.1.4322", nullptr}, {"v2.0.50727", "2.0.50727.42"}, {"v2.5.0", nullptr}},
         false,
         {"DOTNET FX Ver=v1.1.4322", "DOTNET FX Ver=v2.0.50727", "MSCORLIB.DLL Ver=2.0.50727.42"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log.back());
        ScratchFolder windows;
        RemoveKey(HKEY_LOCAL_MACHINE, kNdpKey);
        for (const auto& sub : c.subkeys) {
            PlantString(HKEY_LOCAL_MACHINE, std::string(kNdpKey) + "\\" + sub.first, nullptr, "");
            if (sub.second)
                PlantVersionDll(sub.second, Mscorlib(windows.Path(), sub.first));
        }
        size_t from = LogLines().size();
        EXPECT_EQ(c.needed, IsDotNetNeeded(reports, windows.Path()));
        EXPECT_EQ(c.log, LinesSince(from));
    }
}

// Compared as text: "4.08" and below is old, an unreadable version too.
TEST_F(SystemTest, DirectXVersionIsComparedAsText)
{
    const struct {
        const char* version;
        bool old;
        const char* log;
    } cases[] = {
        {kNoKey, true, "DirectX Reg Ver=Not Installed-2"}, {kNoValue, true, "DirectX Reg Ver=Not Installed-1"},
        {"4.08", true, "DirectX Reg Ver=4.08"},           {"4.07.00.0700", true, "DirectX Reg Ver=4.07.00.0700"},
        {"", true, "DirectX Reg Ver="},                    {"4.08.00.0400", false, "DirectX Reg Ver=4.08.00.0400"},
        {"4.09.00.0904", false, "DirectX Reg Ver=4.09.00.0904"},
    };
    for (const auto& c : cases) {
        PlantValue(kDirectXKey, "Version", c.version);
        size_t from = LogLines().size();
        EXPECT_EQ(c.old, IsDirectXOld(reports)) << c.version;
        EXPECT_EQ(std::vector<std::string>{c.log}, LinesSince(from));
    }
}

// A machine with every component current, so that each case varies only
// the OS, .NET and DirectX.
class CheckMachineTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        PlantString(HKEY_LOCAL_MACHINE, kMdacKey, "FullInstallVer", "2.81.1117.0");
        PlantVersionDll("2.81.1117.0", Msado(folders[FolderCommonFiles]));
        PlantString(HKEY_LOCAL_MACHINE, std::string(kNdpKey) + "\\v2.0.50727", nullptr, "");
        ActAs(VER_PLATFORM_WIN32_NT, 5, 1);
    }
    UINT Check(bool& refused) { return CheckMachine(reports, folders[FolderCommonFiles], folders[FolderWindows], refused); }

    ScopedSeam<decltype(g_pfnGetVersionEx)> os{g_pfnGetVersionEx, TestGetVersionEx};
};

TEST_F(CheckMachineTest, OsFamiliesSetTheirBitsAndWindows95AndNt4AreRefused)
{
    const DWORD k9x = VER_PLATFORM_WIN32_WINDOWS, kNt = VER_PLATFORM_WIN32_NT;
    const struct {
        DWORD platform, major, minor;
        BOOL known;
        bool dotNet, oldDirectX;
        UINT type;
        bool refused;
    } cases[] = {
        {k9x, 4, 10, TRUE, true, false, Windows9x, false},
        {k9x, 4, 90, TRUE, true, false, Windows9x, false},
        {kNt, 5, 0, TRUE, true, false, Windows2000, false},
        {kNt, 5, 1, TRUE, true, false, 0, false},
        {kNt, 6, 0, TRUE, true, false, WindowsVista, false},
        {kNt, 5, 0, FALSE, true, false, 0, false},   // the query failed: no family
        // Windows 8 to 11 answer 6.2 to a program whose manifest names no
        // later system (the installer's names none): the Vista path.
        {kNt, 6, 2, TRUE, true, false, WindowsVista, false},
        // .NET is needed where missing, except on Vista, which has its own.
        {kNt, 5, 1, TRUE, false, false, NeedDotNet, false},
        {kNt, 6, 0, TRUE, false, false, WindowsVista, false},
        // Refused: the component bits are already in, no OS bit and no
        // .NET decision.
        {k9x, 4, 0, TRUE, false, true, NeedDotNet | OldDirectX, true},
        {kNt, 4, 0, TRUE, false, true, NeedDotNet | OldDirectX, true},
    };
    int refusals = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.platform) + " " + std::to_string(c.major) + "." + std::to_string(c.minor) +
                     (c.known ? "" : " unknown") + (c.dotNet ? "" : " without .NET"));
        ActAs(c.platform, c.major, c.minor, c.known);
        if (c.dotNet)
            PlantVersionDll("2.0.50727.42", Mscorlib(folders[FolderWindows], "v2.0.50727"));
        else
            DeleteFileA(Mscorlib(folders[FolderWindows], "v2.0.50727").c_str());
        PlantString(HKEY_LOCAL_MACHINE, kDirectXKey, "Version", c.oldDirectX ? "4.08" : "4.09.00.0904");
        bool refused = !c.refused;
        EXPECT_EQ(c.type, Check(refused));
        EXPECT_EQ(c.refused, refused);
        refusals += c.refused;
        EXPECT_EQ(refusals, failures.failed);
        ASSERT_EQ((size_t)refusals, failures.pages.size());
        if (c.refused) {
            EXPECT_EQ("Error=unsupportedos,nt4orw95", LogLines().back());
            EXPECT_NE(std::string::npos, failures.pages.back().find(" nt4orw95 ")) << failures.pages.back();
        }
    }
}

TEST_F(CheckMachineTest, MainAppFoundThroughItsQuotedFolder)
{
    PlantVersionDll("2.0.50727.42", Mscorlib(folders[FolderWindows], "v2.0.50727"));
    PlantString(HKEY_LOCAL_MACHINE, kDirectXKey, "Version", "4.09.00.0904");
    std::string folder = scratch.File("Zembrio App");
    CreateDirectoryA(folder.c_str(), nullptr);
    const struct {
        std::string recorded;
        bool exe;
        UINT type;
    } cases[] = {
        {"\"" + folder + "\"", false, 0},
        {"\"" + folder + "\"", true, MainAppPresent},
        {folder + "\\", true, MainAppPresent},
        {"", true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.recorded);
        PlantString(HKEY_CURRENT_USER, "Software\\Zembrio", "ZembrioAppPath", c.recorded);
        if (c.exe)
            WriteTextFile(folder + "\\ZembrioMain.exe", "x");
        bool refused = true;
        EXPECT_EQ(c.type, Check(refused));
        EXPECT_FALSE(refused);
    }
}

TEST_F(SystemTest, MainAppRunningIsFoundByExactFileName)
{
    // The process list's text: bare names on NT, full paths on the 9x family.
    struct {
        const char* exeFile;
        bool main;
    } names[] = {
        {"ZembrioMain.exe", true},           {"zembriomain.EXE", true},
        {"C:\\PROGRAM FILES\\ZEMBRIO\\ZEMBRIOMAIN.EXE", true},
        {"C:/Program Files/Zembrio/ZembrioMain.exe", true},
        {"C:\\OLD\\ZEMBRIOMAIN.EXE\\OTHER.EXE", false},
        {"xZembrioMain.exe", false},         {"C:\\ZEMBRIO\\xZembrioMain.exe", false},
        {"ZembrioMain.exe.bak", false},      {"ZembrioMain", false},
        {"C:\\ZEMBRIO\\", false},            {"", false},
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
    ScopedSeam<decltype(g_pfnGetDiskFreeSpaceEx)> query(g_pfnGetDiskFreeSpaceEx, extended);
    UINT reference = FreeMegabytes("C:\\");
    for (auto function : {extended, decltype(extended)(nullptr)}) {
        SCOPED_TRACE(function ? "GetDiskFreeSpaceExA" : "GetDiskFreeSpaceA");
        g_pfnGetDiskFreeSpaceEx = function;
        UINT root = FreeMegabytes("C:\\");
        EXPECT_GT(root, 0u);
        EXPECT_LE(root > reference ? root - reference : reference - root, 16u);
        UINT deep = FreeMegabytes("C:\\no\\such\\folder");
        EXPECT_LE(deep > root ? deep - root : root - deep, 16u);
        EXPECT_EQ(0u, FreeMegabytes("Q:\\nothing"));
    }
}

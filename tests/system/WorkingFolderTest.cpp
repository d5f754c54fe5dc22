#include "SystemTestSupport.h"
#include <gtest/gtest.h>
#include <shlobj.h>
#include <cstring>
#include <memory>
#include "app/Resource.h"
#include "system/SelfInstall.h"

namespace {

class WorkingFolderTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        g_testTempPath = temp.Path() + "\\";
    }
    // A fresh start or a resumption from the stored folder.
    const char* Prepare(bool freshStart, const std::string& stored = "")
    {
        systemTemp.clear();
        return PrepareWorkingFolder(freshStart, stored, folder, systemTemp, named);
    }
    // A system whose shell32 lacks SHGetFolderPathA (95, 98, NT 4).
    static void WithoutSystemLookup()
    {
        g_pfnSystemFolderLookup = []() -> SHGetFolderPathAProc { return nullptr; };
    }

    ScratchFolder temp;
    std::string folder, systemTemp;
    bool named = false;
    ScopedSeam<decltype(g_pfnGetTempPath)> tempPath{g_pfnGetTempPath, TestTempPath};
    // The tests below replace the lookup at will.
    ScopedSeam<decltype(g_pfnSystemFolderLookup)> lookup{g_pfnSystemFolderLookup, g_pfnSystemFolderLookup};
};

} // namespace

TEST_F(WorkingFolderTest, FreshStartCreatesTheFolderOrReusesItWithItsFiles)
{
    std::string expected = temp.Path() + "\\Zembrio";
    EXPECT_EQ(nullptr, Prepare(true));
    EXPECT_EQ(expected, folder);
    EXPECT_TRUE(named);
    EXPECT_EQ(temp.Path() + "\\", systemTemp);
    EXPECT_TRUE(GetFileAttributesA(expected.c_str()) & FILE_ATTRIBUTE_DIRECTORY);

    WriteTextFile(expected + "\\setup.exe", "partial");
    EXPECT_EQ(nullptr, Prepare(true, "C:\\elsewhere"));
    EXPECT_EQ(expected, folder);
    EXPECT_EQ("partial", ReadTextFile(expected + "\\setup.exe"));
    DeleteTree(expected);
}

TEST_F(WorkingFolderTest, ResumptionTakesTheStoredFolderWithoutCreatingIt)
{
    g_testTempPath.clear();   // not consulted
    EXPECT_EQ(nullptr, Prepare(false, temp.Path() + "\\not-there"));
    EXPECT_EQ(temp.Path() + "\\not-there", folder);
    EXPECT_FALSE(named);
    EXPECT_FALSE(FileExists(folder));
}

// The temp path is taken up to 259 characters with its backslash; beyond,
// or unavailable, no folder is named. A folder that cannot be made, or a
// file in its place (left as it is), is named and refused.
TEST_F(WorkingFolderTest, FreshStartRefusesATempPathOrFolderItCannotUse)
{
    // A real folder whose path with its backslash is exactly 259 characters.
    std::string deep = temp.Path();
    while (deep.size() < 258) {
        deep += "\\" + std::string(std::min<size_t>(40, 257 - deep.size()), 'p');
        CreateDirectoryA(deep.c_str(), nullptr);
    }
    ASSERT_EQ(258u, deep.size());
    ASSERT_TRUE(FileExists(deep));
    const struct {
        std::string tempPath;   // empty: the query fails
        const char* file;       // put where the folder belongs
        const char* error;      // a folder below 259 characters may be too long to make: not checked
        bool named;
    } cases[] = {
        {deep + "\\", nullptr, "<any but cantcreatetempfolder2>", true},
        {deep + "x\\", nullptr, "cantcreatetempfolder2", false},
        {"", nullptr, "cantcreatetempfolder2", false},
        {temp.Path() + "\\missing parent\\", nullptr, "cantcreatetempfolder1", true},
        {temp.Path() + "\\", "Zembrio", "unsafetempfolder", true},
    };
    ASSERT_EQ(260u, cases[1].tempPath.size());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tempPath);
        g_testTempPath = c.tempPath;
        if (c.file) {
            ASSERT_TRUE(WriteTextFile(temp.File(c.file), "not a folder"));
        }
        folder = "previous";
        const char* error = Prepare(true);
        if (c.error[0] == '<') {
            EXPECT_STRNE("cantcreatetempfolder2", error ? error : "");
        } else {
            EXPECT_STREQ(c.error, error);
        }
        EXPECT_EQ(c.named, named);
        EXPECT_EQ(c.named ? c.tempPath + "Zembrio" : "previous", folder);
        if (c.file) {
            EXPECT_EQ("not a folder", ReadTextFile(temp.File(c.file)));
        }
    }
}

// Another program of the user can put a file, a junction or a symbolic link
// where the working folder belongs (or the record names). The installer,
// perhaps elevated, neither writes through it nor purges it, at a fresh
// start, at a resumption, in a purge or in the re-launch's copy.
TEST_F(WorkingFolderTest, FolderThatIsAFileOrLinkIsRefusedAndNothingBehindItTouched)
{
    ScratchFolder behind;
    std::string link = temp.File("Zembrio");
    enum Use { FreshStart, Resumption, Purge, Relaunch };
    const struct {
        const char* what;
        // In behind; nullptr: a file at the path. (Wine shows a link to a
        // file as a plain file, and a dangling link not at all.)
        const char* target;
        Use use;
    } cases[] = {
        {"file, fresh start", nullptr, FreshStart},
        {"link, fresh start", "folder", FreshStart},
        {"file, resumption", nullptr, Resumption},
        {"link, resumption", "folder", Resumption},
        {"link, purge", "folder", Purge},
        {"file, purge", nullptr, Purge},
        {"link, re-launch", "folder", Relaunch},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileA(link.c_str());
        CreateDirectoryA(behind.File("folder").c_str(), nullptr);
        ASSERT_TRUE(WriteTextFile(behind.File("folder\\setup.exe"), "behind"));
        ASSERT_TRUE(WriteTextFile(behind.File("file.txt"), "behind"));
        std::unique_ptr<UnixLink> made;
        if (c.target) {
            made.reset(new UnixLink(behind.File(c.target), link));
            ASSERT_TRUE(made->Made());
        } else {
            ASSERT_TRUE(WriteTextFile(link, "not a folder"));
        }

        switch (c.use) {
        case FreshStart:
        case Resumption:
            EXPECT_STREQ("unsafetempfolder", Prepare(c.use == FreshStart, link));
            EXPECT_EQ(link, folder);
            break;
        case Purge:
            EXPECT_FALSE(PurgeFolder(link));
            break;
        case Relaunch:
            EXPECT_FALSE(RelaunchFromWorkingFolder(link, true));
            break;
        }
        // Behind the path all is as it was, and the path still holds it.
        EXPECT_EQ("behind", ReadTextFile(behind.File("folder\\setup.exe")));
        EXPECT_EQ("behind", ReadTextFile(behind.File("file.txt")));
        EXPECT_FALSE(FileExists(behind.File("folder\\ZembrioInstaller.exe")));
        EXPECT_TRUE(c.target ? made->Made() : ReadTextFile(link) == "not a folder");
    }
    DeleteFileA(link.c_str());
}

TEST(PurgeFolder, KeepsRunLogsAndSubfoldersAndDeletesTheRest)
{
    ScratchFolder folder;
    for (const char* name : {"log.txt", "oldlog.txt", "setup.exe", "shfolder.dll", "installhelpertasks.txt"})
        WriteTextFile(folder.File(name), name);
    CreateDirectoryA(folder.File("sub").c_str(), nullptr);
    WriteTextFile(folder.File("sub\\inner.exe"), "x");
    EXPECT_TRUE(PurgeFolder(folder.Path()));
    EXPECT_EQ("log.txt", ReadTextFile(folder.File("log.txt")));
    EXPECT_EQ("oldlog.txt", ReadTextFile(folder.File("oldlog.txt")));
    EXPECT_TRUE(FileExists(folder.File("sub\\inner.exe")));
    for (const char* name : {"setup.exe", "shfolder.dll", "installhelpertasks.txt"})
        EXPECT_FALSE(FileExists(folder.File(name))) << name;
    EXPECT_TRUE(FileExists(folder.Path()));
}

// The test is on the path's letters, so a log in capitals is not kept (the
// file system cannot hold it beside log.txt, hence a folder of its own). A
// folder left empty goes; a missing one is no failure.
TEST(PurgeFolder, DeletesARunLogInCapitalsAndAFolderLeftEmptyAndIgnoresAMissingOne)
{
    ScratchFolder parent;
    std::string folder = parent.File("Zembrio");
    CreateDirectoryA(folder.c_str(), nullptr);
    WriteTextFile(folder + "\\LOG.TXT", "x");
    EXPECT_TRUE(PurgeFolder(folder));
    EXPECT_FALSE(FileExists(folder));
    EXPECT_TRUE(PurgeFolder(folder));
    EXPECT_FALSE(FileExists(folder));
}

// ---- the carried shell-folder library ----------------------------------------

namespace {

// The library the installer carries, from this program's own resources.
std::string CarriedLibrary()
{
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC res = FindResourceA(self, MAKEINTRESOURCEA(IDR_SHELL_FOLDER_DLL), "DLL");
    return res ? std::string((const char*)LockResource(LoadResource(self, res)), SizeofResource(self, res)) : "";
}

class ShellFolderTest : public WorkingFolderTest {
protected:
    void TearDown() override
    {
        if (library)
            FreeLibrary(library);
        WorkingFolderTest::TearDown();
    }
    bool Find(const std::string& bytes, const std::string& into)
    {
        return FindShellFolderLookup(runLog, (const BYTE*)bytes.data(), (DWORD)bytes.size(), into, library, found);
    }
    SHGetFolderPathAProc Fallback() const
    {
        return library ? (SHGetFolderPathAProc)GetProcAddress(library, "SHGetFolderPathFallbackA") : nullptr;
    }

    ScratchFolder working;
    std::string dll = working.File("shfolder.dll");
    HMODULE library = nullptr;
    SHGetFolderPathAProc found = nullptr;
};

} // namespace

TEST_F(ShellFolderTest, LibraryIsWrittenAndLoadedOnlyWhereTheSystemLacksTheLookup)
{
    std::string carried = CarriedLibrary();
    ASSERT_FALSE(carried.empty());
    const struct {
        const char* name;
        int csidl;
    } expected[] = {{"Common Files", CSIDL_PROGRAM_FILES_COMMON}, {"Windows System", CSIDL_SYSTEM},
                    {"Desktop", CSIDL_DESKTOPDIRECTORY},         {"Program Files", CSIDL_PROGRAM_FILES},
                    {"Start Menu", CSIDL_PROGRAMS},              {"Startup", CSIDL_STARTUP},
                    {"Windows", CSIDL_WINDOWS},                  {"Application Data", CSIDL_APPDATA}};
    // The library's line and the eight folders', as the shell has them.
    auto expectLogAndFolders = [&](size_t from) {
        std::string read[ShellFolderCount];
        ASSERT_TRUE(ReadShellFolders(runLog, found, read));
        std::vector<std::string> lines = LogLines();
        ASSERT_EQ(from + 9, lines.size());
        EXPECT_EQ("shfolder.dll=" + dll, lines[from]);
        for (int i = 0; i < 8; i++) {
            char path[MAX_PATH] = "";
            SHGetFolderPathA(nullptr, expected[i].csidl, nullptr, 0, path);
            EXPECT_NE("", std::string(path)) << expected[i].name;
            EXPECT_EQ(path, read[i]) << expected[i].name;
            EXPECT_STREQ(expected[i].name, ShellFolderName(i));
            EXPECT_EQ(std::string(expected[i].name) + "=" + path, lines[from + i + 1]);
        }
    };

    // Where shell32 has the lookup it is called directly: the working folder
    // is writable by every program of the user, so nothing is loaded from
    // it. The library is still written and named in the run log.
    ASSERT_TRUE(Find(carried, working.Path()));
    EXPECT_EQ(carried, ReadTextFile(dll));
    EXPECT_EQ(nullptr, library);
    EXPECT_EQ(nullptr, GetModuleHandleA(dll.c_str()));
    EXPECT_EQ((FARPROC)found, GetProcAddress(GetModuleHandleA("shell32.dll"), "SHGetFolderPathA"));
    expectLogAndFolders(0);

    // Without it the carried library is loaded from there and answers.
    WithoutSystemLookup();
    ASSERT_TRUE(Find(carried, working.Path()));
    EXPECT_EQ(carried, ReadTextFile(dll));
    EXPECT_NE(nullptr, found);
    char loaded[MAX_PATH] = "";
    GetModuleFileNameA(library, loaded, MAX_PATH);
    EXPECT_EQ(0, lstrcmpiA(dll.c_str(), loaded));
    expectLogAndFolders(9);

    // Where shell32 has no SHGetFolderPathA (95, 98, NT 4) the library finds
    // the folders itself; forced down that way here, it must agree with it.
    // Both read the prefix's own registry: in the sandbox the shell writes
    // its defaults where the library would then find them.
    SHGetFolderPathAProc fallback = Fallback();
    ASSERT_NE(nullptr, fallback);
    registry.Suspend();
    for (const auto& f : expected) {
        char shell[MAX_PATH] = "", ours[MAX_PATH] = "";
        EXPECT_EQ(S_OK, fallback(nullptr, f.csidl, nullptr, 0, ours)) << f.name;
        SHGetFolderPathA(nullptr, f.csidl, nullptr, 0, shell);
        EXPECT_NE("", std::string(ours)) << f.name;
        EXPECT_EQ(0, lstrcmpiA(shell, ours)) << f.name << ": " << shell << " / " << ours;
    }
    registry.Resume();
    char unknown[MAX_PATH] = "stale";
    EXPECT_EQ(E_INVALIDARG, fallback(nullptr, 0x7F, nullptr, 0, unknown));
    EXPECT_STREQ("", unknown);

    FreeLibrary(library);
    library = nullptr;
    EXPECT_EQ(nullptr, GetModuleHandleA(dll.c_str()));
    EXPECT_TRUE(FileExists(dll));
}

// The machine-wide folders of the fallback come from the registry; one
// recorded there but missing is a failure unless the caller asks for it.
TEST_F(ShellFolderTest, LibraryFallbackChecksTheRecordedFolderAndMakesItOnRequest)
{
    WithoutSystemLookup();
    ASSERT_TRUE(Find(CarriedLibrary(), working.Path()));
    SHGetFolderPathAProc fallback = Fallback();
    ASSERT_NE(nullptr, fallback);
    const char* key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    char path[MAX_PATH] = "stale";
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), fallback(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, path));
    EXPECT_STREQ("", path);

    std::string missing = working.File("Programs\\Shared");
    PlantString(HKEY_LOCAL_MACHINE, key, "CommonFilesDir", missing + "\\");
    strcpy(path, "stale");
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              fallback(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, path));
    EXPECT_STREQ("", path);
    EXPECT_EQ(S_OK, fallback(nullptr, CSIDL_PROGRAM_FILES_COMMON | CSIDL_FLAG_DONT_VERIFY, nullptr, 0, path));
    EXPECT_EQ(missing, path);
    EXPECT_FALSE(FileExists(missing));
    EXPECT_EQ(S_OK, fallback(nullptr, CSIDL_PROGRAM_FILES_COMMON | CSIDL_FLAG_CREATE, nullptr, 0, path));
    EXPECT_EQ(missing, path);
    EXPECT_TRUE(GetFileAttributesA(missing.c_str()) & FILE_ATTRIBUTE_DIRECTORY);

    // A value to expand, as some systems store it.
    HKEY values;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &values));
    const char stored[] = "%ZEMBRIO_FOLDER%\\Programs";
    RegSetValueExA(values, "ProgramFilesDir", 0, REG_EXPAND_SZ, (const BYTE*)stored, sizeof stored);
    RegCloseKey(values);
    SetEnvironmentVariableA("ZEMBRIO_FOLDER", working.Path().c_str());
    EXPECT_EQ(S_OK, fallback(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, path));
    SetEnvironmentVariableA("ZEMBRIO_FOLDER", nullptr);
    EXPECT_EQ(working.File("Programs"), path);
}

static HRESULT WINAPI NoFolderAtAll(HWND, int, HANDLE, DWORD, LPSTR)
{
    return E_NOTIMPL;
}

TEST_F(ShellFolderTest, LibraryThatCannotBeWrittenLoadedOrAnswersNoFolderFails)
{
    // No bytes, or a folder it cannot be written into: no lookup at all.
    EXPECT_FALSE(Find("", working.Path()));
    EXPECT_FALSE(Find(CarriedLibrary(), working.File("missing")));
    EXPECT_EQ(nullptr, found);
    EXPECT_EQ(nullptr, library);
    EXPECT_TRUE(LogLines().empty());

    // A library that finds no folder at all (the bare forwarder on Windows 98)
    // leaves nothing to install into: start-up must hear of it.
    std::string read[ShellFolderCount] = {"stale"};
    EXPECT_FALSE(ReadShellFolders(runLog, NoFolderAtAll, read));
    for (const std::string& f : read)
        EXPECT_EQ("", f);
    EXPECT_EQ(8u, LogLines().size());

    // A carried library without the export (here one that carries only a
    // version) is unloaded again.
    std::string other = ReadTextFile(ZEMBRIO_VERSION_DLL_DIR "/version_2_0_50727_42.dll");
    ASSERT_FALSE(other.empty());
    WithoutSystemLookup();
    EXPECT_FALSE(Find(other, working.Path()));
    EXPECT_EQ(other, ReadTextFile(dll));
    EXPECT_EQ(nullptr, library);
    EXPECT_EQ(nullptr, found);
    EXPECT_EQ(nullptr, GetModuleHandleA(dll.c_str()));
}

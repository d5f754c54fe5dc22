#include <winsock2.h>
#include <gtest/gtest.h>
#include <shlobj.h>
#include <cstring>
#include <memory>
#include "app/Resource.h"
#include "support/AppFixture.h"
#include "SystemTestSupport.h"

extern DWORD (*g_pfnGetTempPath)(DWORD, LPSTR);
extern CInstallerApp::SHGetFolderPathAProc (*g_pfnSystemFolderLookup)();
extern const BYTE* (*g_pfnShellFolderLibraryBytes)(DWORD*);

// The system's temp path as the test wants it, with GetTempPathA's contract:
// the length without the zero, or the size needed when it does not fit.
static std::string g_fakeTempPath;
static bool g_fakeTempFails;
static DWORD FakeGetTempPath(DWORD size, LPSTR buffer)
{
    if (g_fakeTempFails)
        return 0;
    if (g_fakeTempPath.size() + 1 > size)
        return (DWORD)g_fakeTempPath.size() + 1;
    strcpy(buffer, g_fakeTempPath.c_str());
    return (DWORD)g_fakeTempPath.size();
}

class WorkingFolderTest : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        g_fakeTempFails = false;
        g_fakeTempPath = temp.Path() + "\\";
        app.m_bFreshStart = TRUE;
    }
    void TearDown() override
    {
        app.ReleaseShellFolderLibrary();
        AppFixture::TearDown();
    }
    // The events the logger received, by their event value.
    std::vector<std::string> Events() const
    {
        std::vector<std::string> out;
        for (const std::string& t : Sent()) {
            size_t at = t.find("event=") + 6;
            out.push_back(t.substr(at, t.find('&', at) - at));
        }
        return out;
    }
    // A system whose shell32 lacks SHGetFolderPathA (95, 98, NT 4).
    static void WithoutSystemLookup()
    {
        g_pfnSystemFolderLookup = []() -> CInstallerApp::SHGetFolderPathAProc { return nullptr; };
    }
    ScratchFolder temp;
    // The tests below replace the lookup and the library's bytes at will.
    ScopedSeam<decltype(g_pfnGetTempPath)> tempPath{g_pfnGetTempPath, FakeGetTempPath};
    ScopedSeam<decltype(g_pfnSystemFolderLookup)> lookup{g_pfnSystemFolderLookup, g_pfnSystemFolderLookup};
    ScopedSeam<decltype(g_pfnShellFolderLibraryBytes)> bytes{g_pfnShellFolderLibraryBytes, g_pfnShellFolderLibraryBytes};
};

TEST_F(WorkingFolderTest, FreshStartCreatesTheFolderOrReusesItWithItsFiles)
{
    std::string expected = temp.Path() + "\\Zembrio";
    ASSERT_TRUE(app.PrepareWorkingFolder());
    EXPECT_EQ(expected, app.m_strTempFolder);
    EXPECT_EQ(expected, app.m_strTempPath);
    EXPECT_TRUE(GetFileAttributesA(expected.c_str()) & FILE_ATTRIBUTE_DIRECTORY);

    WriteTextFile(expected + "\\setup.exe", "partial");
    app.m_strTempPath = "C:\\elsewhere";
    ASSERT_TRUE(app.PrepareWorkingFolder());
    EXPECT_EQ(expected, app.m_strTempPath);
    EXPECT_EQ("partial", ReadTextFile(expected + "\\setup.exe"));
    EXPECT_TRUE(Sent().empty());
    DeleteTree(expected);
}

TEST_F(WorkingFolderTest, ResumptionTakesTheStoredFolderWithoutCreatingIt)
{
    app.m_bFreshStart = FALSE;
    app.m_strTempPath = temp.Path() + "\\not-there";
    g_fakeTempFails = true;   // not consulted
    EXPECT_TRUE(app.PrepareWorkingFolder());
    EXPECT_EQ(temp.Path() + "\\not-there", app.m_strTempFolder);
    EXPECT_FALSE(FileExists(app.m_strTempFolder));
}

TEST_F(WorkingFolderTest, TempPathOf259CharactersIsTakenAnd260IsRefused)
{
    // A real folder whose path with its backslash is exactly 259 characters.
    std::string path = temp.Path();
    while (path.size() < 258) {
        path += "\\" + std::string(std::min<size_t>(40, 257 - path.size()), 'p');
        CreateDirectoryA(path.c_str(), nullptr);
    }
    ASSERT_EQ(258u, path.size());
    ASSERT_TRUE(FileExists(path));
    g_fakeTempPath = path + "\\";
    app.PrepareWorkingFolder();   // the folder below may be too long to make
    EXPECT_EQ(g_fakeTempPath + "Zembrio", app.m_strTempPath);
    for (const std::string& e : Events())
        EXPECT_NE("fileiocantcreatetempfolder2", e);

    app.m_strTempPath = "previous";
    frame->m_bFailed = false;
    g_fakeTempPath = path + "x\\";
    ASSERT_EQ(260u, g_fakeTempPath.size());
    EXPECT_FALSE(app.PrepareWorkingFolder());
    EXPECT_EQ("previous", app.m_strTempPath);
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_EQ("fileiocantcreatetempfolder2", Events().back());
    EXPECT_EQ("Error=fileio,cantcreatetempfolder2", LogLines().back());
}

TEST_F(WorkingFolderTest, UnavailableTempPathAndUncreatableFolderAreReported)
{
    g_fakeTempFails = true;
    app.m_strTempPath = "previous";
    EXPECT_FALSE(app.PrepareWorkingFolder());
    EXPECT_EQ("previous", app.m_strTempPath);

    g_fakeTempFails = false;
    g_fakeTempPath = temp.Path() + "\\missing parent\\";
    EXPECT_FALSE(app.PrepareWorkingFolder());
    EXPECT_EQ(g_fakeTempPath + "Zembrio", app.m_strTempPath);
    EXPECT_TRUE(ErrorPageRequested());

    // A file where the folder belongs.
    g_fakeTempPath = temp.Path() + "\\";
    ASSERT_TRUE(WriteTextFile(temp.File("Zembrio"), "not a folder"));
    EXPECT_FALSE(app.PrepareWorkingFolder());
    EXPECT_EQ("not a folder", ReadTextFile(temp.File("Zembrio")));
    EXPECT_EQ((std::vector<std::string>{"fileiocantcreatetempfolder2", "fileiocantcreatetempfolder1",
                                        "fileiounsafetempfolder"}),
              Events());
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
        size_t seen = Events().size();
        frame->m_bFailed = false;
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

        app.m_bFreshStart = c.use == FreshStart;
        app.m_strTempPath = link;
        switch (c.use) {
        case FreshStart:
        case Resumption:
            EXPECT_FALSE(app.PrepareWorkingFolder());
            EXPECT_TRUE(frame->m_bFailed);
            EXPECT_EQ(seen + 1, Events().size());
            EXPECT_EQ("fileiounsafetempfolder", Events().back());
            break;
        case Purge:
            EXPECT_FALSE(CInstallerApp::PurgeFolder(link));
            break;
        case Relaunch:
            EXPECT_FALSE(app.RelaunchFromWorkingFolder(true));
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
    EXPECT_TRUE(CInstallerApp::PurgeFolder(folder.Path()));
    EXPECT_EQ("log.txt", ReadTextFile(folder.File("log.txt")));
    EXPECT_EQ("oldlog.txt", ReadTextFile(folder.File("oldlog.txt")));
    EXPECT_TRUE(FileExists(folder.File("sub\\inner.exe")));
    for (const char* name : {"setup.exe", "shfolder.dll", "installhelpertasks.txt"})
        EXPECT_FALSE(FileExists(folder.File(name))) << name;
    EXPECT_TRUE(FileExists(folder.Path()));
}

// The test is on the path's letters, so a log in capitals is not kept (the
// file system cannot hold it beside log.txt, hence a folder of its own).
TEST(PurgeFolder, RunLogInCapitalsIsDeleted)
{
    ScratchFolder folder;
    WriteTextFile(folder.File("LOG.TXT"), "x");
    WriteTextFile(folder.File("oldlog.txt"), "x");
    EXPECT_TRUE(CInstallerApp::PurgeFolder(folder.Path()));
    EXPECT_FALSE(FileExists(folder.File("LOG.TXT")));
    EXPECT_TRUE(FileExists(folder.File("oldlog.txt")));
}

TEST(PurgeFolder, RemovesAFolderLeftEmptyAndIgnoresAMissingOne)
{
    ScratchFolder parent;
    std::string folder = parent.File("Zembrio");
    CreateDirectoryA(folder.c_str(), nullptr);
    WriteTextFile(folder + "\\setup.exe", "x");
    EXPECT_TRUE(CInstallerApp::PurgeFolder(folder));
    EXPECT_FALSE(FileExists(folder));
    EXPECT_TRUE(CInstallerApp::PurgeFolder(folder));
    EXPECT_FALSE(FileExists(folder));
}

// ---- the carried shell-folder library ----------------------------------------

TEST_F(WorkingFolderTest, LibraryIsWrittenAndLoadedOnlyWhereTheSystemLacksTheLookup)
{
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC res = FindResourceA(self, MAKEINTRESOURCEA(IDR_SHELL_FOLDER_DLL), "DLL");
    ASSERT_NE(nullptr, res);
    std::string carried((const char*)LockResource(LoadResource(self, res)), SizeofResource(self, res));
    const struct {
        const char* name;
        int csidl;
    } expected[] = {{"Common Files", CSIDL_PROGRAM_FILES_COMMON}, {"Windows System", CSIDL_SYSTEM},
                    {"Desktop", CSIDL_DESKTOPDIRECTORY},         {"Program Files", CSIDL_PROGRAM_FILES},
                    {"Start Menu", CSIDL_PROGRAMS},              {"Startup", CSIDL_STARTUP},
                    {"Windows", CSIDL_WINDOWS},                  {"Application Data", CSIDL_APPDATA}};
    app.m_strTempFolder = folder.Path();
    std::string dll = folder.File("shfolder.dll");
    // The library's line and the eight folders', as the shell has them.
    auto expectLogAndFolders = [&](size_t from) {
        ASSERT_TRUE(app.ReadShellFolders());
        std::vector<std::string> lines = LogLines();
        ASSERT_EQ(from + 9, lines.size());
        EXPECT_EQ("shfolder.dll=" + dll, lines[from]);
        for (int i = 0; i < 8; i++) {
            char path[MAX_PATH] = "";
            SHGetFolderPathA(nullptr, expected[i].csidl, nullptr, 0, path);
            EXPECT_NE("", std::string(path)) << expected[i].name;
            EXPECT_EQ(path, app.m_astrShellFolder[i]) << expected[i].name;
            EXPECT_STREQ(expected[i].name, CInstallerApp::ShellFolderName(i));
            EXPECT_EQ(std::string(expected[i].name) + "=" + path, lines[from + i + 1]);
        }
    };

    // Where shell32 has the lookup it is called directly: the working folder
    // is writable by every program of the user, so nothing is loaded from
    // it. The library is still written and named in the run log.
    ASSERT_TRUE(app.ExtractShellFolderLibrary());
    EXPECT_EQ(carried, ReadTextFile(dll));
    EXPECT_EQ(nullptr, app.m_hShellFolderLib);
    EXPECT_EQ(nullptr, GetModuleHandleA(dll.c_str()));
    EXPECT_EQ((FARPROC)app.m_pfnSHGetFolderPath, GetProcAddress(GetModuleHandleA("shell32.dll"), "SHGetFolderPathA"));
    expectLogAndFolders(0);
    EXPECT_TRUE(app.ReleaseShellFolderLibrary());

    // Without it the carried library is loaded from there and answers.
    WithoutSystemLookup();
    ASSERT_TRUE(app.ExtractShellFolderLibrary());
    EXPECT_EQ(carried, ReadTextFile(dll));
    EXPECT_NE(nullptr, app.m_pfnSHGetFolderPath);
    char loaded[MAX_PATH] = "";
    GetModuleFileNameA(app.m_hShellFolderLib, loaded, MAX_PATH);
    EXPECT_EQ(0, lstrcmpiA(dll.c_str(), loaded));
    expectLogAndFolders(9);

    // Where shell32 has no SHGetFolderPathA (95, 98, NT 4) the library finds
    // the folders itself; forced down that way here, it must agree with it.
    // Both read the prefix's own registry: in the sandbox the shell writes
    // its defaults where the library would then find them.
    auto fallback = (CInstallerApp::SHGetFolderPathAProc)GetProcAddress(app.m_hShellFolderLib,
                                                                         "SHGetFolderPathFallbackA");
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

    EXPECT_TRUE(app.ReleaseShellFolderLibrary());
    EXPECT_EQ(nullptr, app.m_hShellFolderLib);
    EXPECT_EQ(nullptr, GetModuleHandleA(dll.c_str()));
    EXPECT_TRUE(FileExists(dll));
    EXPECT_TRUE(Sent().empty());
}

// The machine-wide folders of the fallback come from the registry; one
// recorded there but missing is a failure unless the caller asks for it.
TEST_F(WorkingFolderTest, LibraryFallbackChecksTheRecordedFolderAndMakesItOnRequest)
{
    WithoutSystemLookup();
    app.m_strTempFolder = folder.Path();
    ASSERT_TRUE(app.ExtractShellFolderLibrary());
    auto fallback = (CInstallerApp::SHGetFolderPathAProc)GetProcAddress(app.m_hShellFolderLib,
                                                                         "SHGetFolderPathFallbackA");
    ASSERT_NE(nullptr, fallback);
    const char* key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    char path[MAX_PATH] = "stale";
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), fallback(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, path));
    EXPECT_STREQ("", path);

    std::string missing = folder.File("Programs\\Shared");
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
    SetEnvironmentVariableA("ZEMBRIO_FOLDER", folder.Path().c_str());
    EXPECT_EQ(S_OK, fallback(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, path));
    SetEnvironmentVariableA("ZEMBRIO_FOLDER", nullptr);
    EXPECT_EQ(folder.File("Programs"), path);
}

static HRESULT WINAPI NoFolderAtAll(HWND, int, HANDLE, DWORD, LPSTR)
{
    return E_NOTIMPL;
}

TEST_F(WorkingFolderTest, LibraryThatCannotBeWrittenOrAnswersNoFolderIsReported)
{
    app.m_strTempFolder = folder.File("missing");
    EXPECT_FALSE(app.ExtractShellFolderLibrary());
    EXPECT_EQ(nullptr, app.m_pfnSHGetFolderPath);
    EXPECT_EQ(std::vector<std::string>{"fileiocantextractshelldll"}, Events());
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_TRUE(app.ReadShellFolders());
    for (const std::string& f : app.m_astrShellFolder)
        EXPECT_EQ("", f);
    EXPECT_EQ(std::vector<std::string>{"Error=fileio,cantextractshelldll"}, LogLines());

    // A library that finds no folder at all (the bare forwarder on Windows 98)
    // leaves nothing to install into: start-up must hear of it.
    app.m_pfnSHGetFolderPath = NoFolderAtAll;
    EXPECT_FALSE(app.ReadShellFolders());
    for (const std::string& f : app.m_astrShellFolder)
        EXPECT_EQ("", f);
    EXPECT_EQ(9u, LogLines().size());

    // A carried library without the export (here one that carries only a
    // version) is reported and unloaded again.
    static std::string other;
    other = ReadTextFile(ZEMBRIO_VERSION_DLL_DIR "/version_2_0_50727_42.dll");
    ASSERT_FALSE(other.empty());
    g_pfnShellFolderLibraryBytes = [](DWORD* size) {
        *size = (DWORD)other.size();
        return (const BYTE*)other.data();
    };
    WithoutSystemLookup();
    app.m_pfnSHGetFolderPath = nullptr;
    app.m_strTempFolder = folder.Path();
    EXPECT_FALSE(app.ExtractShellFolderLibrary());
    EXPECT_EQ(other, ReadTextFile(folder.File("shfolder.dll")));
    EXPECT_EQ(nullptr, app.m_hShellFolderLib);
    EXPECT_EQ(nullptr, app.m_pfnSHGetFolderPath);
    EXPECT_EQ(nullptr, GetModuleHandleA(folder.File("shfolder.dll").c_str()));
    EXPECT_EQ((std::vector<std::string>{"fileiocantextractshelldll", "fileiocantextractshelldll"}), Events());
}

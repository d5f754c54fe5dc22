#include <gtest/gtest.h>
#include <cstring>
#include <ctime>
#include <functional>
#include "app/InstallerApp.h"
#include "support/TestSupport.h"

// ---- command-line switches ---------------------------------------------------

// Each switch is found in any case, anywhere, even inside a longer word
// (near misses do not count); /uninstall chooses first, but Vista ignores
// it, and with it a /finish beside it.
TEST(StartSwitches, FoundAnywhereAndChooseTheMode)
{
    const struct {
        const char* cmd;
        const char* found;   // of u(ninstall) f(inish) q(uiet) s(taging) e(rror)
        StartMode mode, onVista;
    } cases[] = {
        {"", "", StartNormal, StartNormal},
        {"/UNINSTALL", "u", StartUninstall, StartNormal},
        {"x/finishy", "f", StartFinish, StartFinish},
        {"\"C:\\a b\\x.exe\" /Quiet-STAGING-Error", "qse", StartQuiet, StartQuiet},
        {"-staginG", "s", StartNormal, StartNormal},
        {"-staging -error", "se", StartNormal, StartNormal},
        {"uninstall finish quiet staging error /fini-sh /-error", "e", StartNormal, StartNormal},   // "-error" in it
        {"/uninstall /finish", "uf", StartUninstall, StartNormal},
        {"/uninstall /quiet", "uq", StartUninstall, StartNormal},
        {"/finish /quiet /UNINSTALL", "ufq", StartUninstall, StartNormal},
        {"/finish /quiet", "fq", StartFinish, StartFinish},
        {"/quiet", "q", StartQuiet, StartQuiet},
    };
    for (const auto& c : cases) {
        StartSwitches s = ParseStartSwitches(c.cmd);
        std::string found = std::string(s.uninstall ? "u" : "") + (s.finish ? "f" : "") + (s.quiet ? "q" : "") +
                            (s.staging ? "s" : "") + (s.error ? "e" : "");
        EXPECT_EQ(c.found, found) << c.cmd;
        EXPECT_EQ(c.mode, ChooseStartMode(s, false)) << c.cmd;
        EXPECT_EQ(c.onVista, ChooseStartMode(s, true)) << c.cmd;
    }
}

// ---- generated id ---------------------------------------------------------------

TEST(StartupText, GeneratedIdIsAtMostThirteenDigitsStartingWithTheTime)
{
    CInstallerApp app;
    for (int i = 0; i < 20; i++) {
        std::string before = std::to_string((long long)time(nullptr));
        std::string id = app.GenerateUserId();
        std::string after = std::to_string((long long)time(nullptr));
        ASSERT_GE(id.size(), 11u) << id;   // ten digits of time and at least one random digit
        ASSERT_LE(id.size(), 13u) << id;
        EXPECT_EQ(std::string::npos, id.find_first_not_of("0123456789")) << id;
        EXPECT_TRUE(id.compare(0, 10, before) == 0 || id.compare(0, 10, after) == 0) << id << " at " << before;
    }
}

// ---- the fresh-start decision over stored records -----------------------------

extern DWORD (*g_pfnGetTempPath)(DWORD, LPSTR);


// The record names the user's own working folder, the scratch folder's
// "Zembrio", the way a fresh start there stored it.
class FreshStartTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_testTempPath = folder.Path() + "\\";
        CreateDirectoryA(own.c_str(), nullptr);
        app.m_strRefusedTempPath.clear();
        app.SetRegistryKey("Zembrio");
        app.m_strExeVersion = "2.0.320.0";
        app.WriteProfileString("", "Version", "2.0.320.0");
        app.WriteProfileInt("", "SystemType", NeedDotNet);
        app.WriteProfileInt("", "Completed", 0);
        app.WriteProfileString("", "TempPath", own.c_str());
        app.WriteProfileInt("", "UIFlag", 1);
        app.WriteProfileString("", "UserId", "1189700000123");
        app.WriteProfileString("", "UninstallExecutable", "C:\\Program Files\\Zembrio\\ZembrioInstaller.exe");
        app.WriteProfileInt("", "NumItems", 1);
        app.WriteProfileString("", "ItemURL0", "http://h/install/setup.exe");
        app.WriteProfileInt("", "ItemSize0", 20971520);
    }
    // Loads the planted record and decides; true means a fresh start.
    bool Decide()
    {
        app.LoadState();
        return app.DecideFreshStart();
    }
    void ExpectStartGroupReset()
    {
        EXPECT_EQ("2.0.320.0", app.m_strVersion);
        EXPECT_EQ(0u, app.m_nSystemType);
        EXPECT_FALSE(app.m_bCompleted);
        EXPECT_EQ("", app.m_strTempPath);
        EXPECT_FALSE(app.m_bUIFlag);
        // The id, the uninstall values and the items survive.
        EXPECT_EQ("1189700000123", app.m_strUserId);
        EXPECT_EQ("C:\\Program Files\\Zembrio\\ZembrioInstaller.exe", app.m_strUninstallExecutable);
        EXPECT_EQ(20971520u, app.RememberedItemSize("http://h/install/setup.exe"));
    }
    ScopedSeam<DWORD (*)(DWORD, LPSTR)> tempPath{g_pfnGetTempPath, TestTempPath};
    RegistrySandbox registry;
    ScratchFolder folder;
    std::string own = folder.File("Zembrio");
    CInstallerApp app;
};

// A complete record of this version resumes with everything kept; the file
// system's spellings of the own folder resume in the folder's own spelling,
// the system's temp path given in its long or its short form.
TEST_F(FreshStartTest, CompleteRecordResumesInTheOwnFolderInAnySpelling)
{
    char shortParent[MAX_PATH] = "";
    ASSERT_NE(0u, GetShortPathNameA(folder.Path().c_str(), shortParent, MAX_PATH));
    ASSERT_NE(folder.Path(), std::string(shortParent));   // the scratch folder's name is long
    std::string upper = own;
    CharUpperBuffA(&upper[0], (DWORD)upper.size());
    const struct {
        std::string stored, temp;
    } cases[] = {
        {own, folder.Path() + "\\"},
        {upper, folder.Path() + "\\"},
        {own + "\\", folder.Path() + "\\"},
        {std::string(shortParent) + "\\zembrio", folder.Path() + "\\"},
        {own, std::string(shortParent) + "\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored + " in " + c.temp);
        SetUp();
        g_testTempPath = c.temp;
        app.WriteProfileString("", "TempPath", c.stored.c_str());
        EXPECT_FALSE(Decide());
        EXPECT_EQ(c.temp + "Zembrio", app.m_strTempPath);
        EXPECT_EQ("", app.m_strRefusedTempPath);
        EXPECT_EQ((UINT)NeedDotNet, app.m_nSystemType);
        EXPECT_TRUE(app.m_bUIFlag);
        EXPECT_EQ("1189700000123", app.m_strUserId);
    }
}

TEST_F(FreshStartTest, EachFailedConditionGivesAFreshStart)
{
    struct Case {
        const char* what;
        std::function<void(CInstallerApp&)> plant;
        bool refused;   // the record's folder, which is not the user's own
    } cases[] = {
        {"older version", [](CInstallerApp& a) { a.WriteProfileString("", "Version", "2.0.319.0"); }},
        {"version differs in a byte", [](CInstallerApp& a) { a.WriteProfileString("", "Version", "2.0.320.0 "); }},
        {"no version", [](CInstallerApp& a) { a.WriteProfileString("", "Version", nullptr); }},
        {"completed", [](CInstallerApp& a) { a.WriteProfileInt("", "Completed", 1); }},
        {"completed by another value", [](CInstallerApp& a) { a.WriteProfileInt("", "Completed", 7); }},
        {"empty temp path", [](CInstallerApp& a) { a.WriteProfileString("", "TempPath", ""); }},
        {"license never accepted", [](CInstallerApp& a) { a.WriteProfileInt("", "UIFlag", 0); }},
        {"temp folder deleted", [this](CInstallerApp&) { RemoveDirectoryA(own.c_str()); }},
        {"a file in the own folder's place", [this](CInstallerApp&) {
             RemoveDirectoryA(own.c_str());
             WriteTextFile(own, "x");
         }},
        // Any program of the user can write the record.
        {"another folder", [this](CInstallerApp& a) { a.WriteProfileString("", "TempPath", folder.Path().c_str()); },
         true},
        {"a folder inside the own one", [this](CInstallerApp& a) {
             CreateDirectoryA((own + "\\Zembrio").c_str(), nullptr);
             a.WriteProfileString("", "TempPath", (own + "\\Zembrio").c_str());
         }, true},
        {"another user's", [](CInstallerApp& a) {
             a.WriteProfileString("", "TempPath", "C:\\users\\Public\\Zembrio");
         }, true},
        {"a file", [this](CInstallerApp& a) {
             WriteTextFile(folder.File("setup.exe"), "x");
             a.WriteProfileString("", "TempPath", folder.File("setup.exe").c_str());
         }, true},
        {"a line break and a task line", [this](CInstallerApp& a) {
             a.WriteProfileString("", "TempPath", (own + "\r\nC:\\x.exe,,,,,1").c_str());
         }, true},
        {"no temp path of the user's", [](CInstallerApp&) { g_testTempPath.clear(); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        c.plant(app);
        std::string stored = app.GetProfileString("", "TempPath");
        EXPECT_TRUE(Decide());
        ExpectStartGroupReset();
        EXPECT_EQ(c.refused ? stored : "", app.m_strRefusedTempPath);
        DeleteFileA(own.c_str());
    }
}

// ---- what exit saves -------------------------------------------------------------

// The start group (version, id, folder, license) is saved only after a fresh
// start, the progress group (completion, uninstall entry, items) after any
// run that read the record; a quiet run, or one that never read the record
// (a refused second instance), leaves the running installer's record alone.
TEST_F(FreshStartTest, ExitSavesOnlyTheGroupsTheRunOwns)
{
    const struct {
        const char* what;
        bool readRecord, fresh, quiet;
        bool startSaved, progressSaved;
    } cases[] = {
        {"fresh start", true, true, false, true, true},
        {"resumption", true, false, false, false, true},
        {"quiet mode", true, true, true, false, false},
        {"record never read", false, false, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        {
            CInstallerApp run;
            run.SetRegistryKey("Zembrio");
            if (c.readRecord) {
                run.LoadState();
                run.m_bFreshStart = c.fresh;
                run.m_bQuietMode = c.quiet;
                // Every member changed, so the record shows what was saved.
                run.m_strVersion = "9.9.9.9";
                run.m_nSystemType = 0x100;
                run.m_strTempPath = "C:\\new";
                run.m_bUIFlag = FALSE;
                run.m_strUserId = "new id";
                run.m_bCompleted = TRUE;
                run.m_strUninstallExecutable = "C:\\new.exe";
                run.m_astrItemURL = {"a", "b"};
                run.m_anItemSize = {1, 2};
            }
            run.ExitInstance();
        }
        app.LoadState();
        EXPECT_EQ(c.startSaved ? "9.9.9.9" : "2.0.320.0", app.m_strVersion);
        EXPECT_EQ(c.startSaved ? "new id" : "1189700000123", app.m_strUserId);
        EXPECT_EQ(c.startSaved ? "C:\\new" : own, app.m_strTempPath);
        EXPECT_EQ(!c.startSaved, !!app.m_bUIFlag);
        EXPECT_EQ(c.progressSaved, !!app.m_bCompleted);
        EXPECT_EQ(c.progressSaved ? "C:\\new.exe" : "C:\\Program Files\\Zembrio\\ZembrioInstaller.exe",
                  app.m_strUninstallExecutable);
        EXPECT_EQ(c.progressSaved ? 2u : 1u, app.m_astrItemURL.size());
    }
}

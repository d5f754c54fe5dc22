#include <gtest/gtest.h>
#include "app/InstallerApp.h"
#include <string>
#include "support/TestSupport.h"

// The record is read and written through the real registry (redirected).
class InstallerStateTest : public ::testing::Test {
protected:
    void SetUp() override { app.SetRegistryKey("Zembrio"); }
    RegistrySandbox registry;
    CInstallerApp app;
};

// No record, or values of the wrong type, read as defaults: a fresh start.
TEST_F(InstallerStateTest, MissingRecordOrWrongTypesReadAsDefaultsAndStartFresh)
{
    app.m_strExeVersion = "2.0.320.0";
    app.LoadState();
    EXPECT_EQ("", app.m_strVersion);
    EXPECT_EQ(0u, app.m_nSystemType);
    EXPECT_TRUE(app.m_astrItemURL.empty());
    EXPECT_TRUE(app.DecideFreshStart());
    EXPECT_EQ("2.0.320.0", app.m_strVersion);

    app.WriteProfileInt("", "Version", 2);
    app.WriteProfileString("", "Completed", "1");
    app.LoadState();
    EXPECT_EQ("", app.m_strVersion);
    EXPECT_FALSE(app.m_bCompleted);
}

TEST_F(InstallerStateTest, SavedItemsComeBackAndShorterListsLeaveOldValues)
{
    app.m_astrItemURL = {"http://a/x.exe", "http://a/y.exe", "http://a/z.exe"};
    app.m_anItemSize = {10, 20, 30};
    app.SaveProgressState();
    app.m_astrItemURL = {"http://a/x.exe", "http://a/y.exe"};
    app.m_anItemSize = {11, 21};
    app.SaveProgressState();
    EXPECT_EQ("http://a/z.exe", app.GetProfileString("", "ItemURL2"));
    app.LoadState();
    ASSERT_EQ(2u, app.m_astrItemURL.size());
    EXPECT_EQ(21u, app.RememberedItemSize("http://a/y.exe"));
    EXPECT_EQ(0u, app.RememberedItemSize("http://a/z.exe"));
}

// The record's raw values, read past the application's profile code.
static std::string RawString(const char* name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Zembrio\\Zembrio Installer", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "<no key>";
    char buf[512] = "";
    DWORD type = 0, size = sizeof buf;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, (BYTE*)buf, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return "<absent>";
    if (type == REG_DWORD)
        return "dword:" + std::to_string(*(DWORD*)buf);
    return type == REG_SZ ? std::string(buf) : "<type " + std::to_string(type) + ">";
}

// Each group is written by its own operation, with its types (the start
// group's other values are the end-to-end fresh start's record).
TEST_F(InstallerStateTest, GroupsAreWrittenByTheirOwnOperationWithTheirTypes)
{
    app.m_nSystemType = 0x142;
    app.m_bCompleted = TRUE;
    app.m_strUninstallFolder = "C:\\Program Files\\Zembrio\\Installer";
    app.SaveStartState();
    EXPECT_EQ("dword:322", RawString("SystemType"));
    EXPECT_EQ("<absent>", RawString("Completed"));
    EXPECT_EQ("<absent>", RawString("NumItems"));

    app.SaveProgressState();
    EXPECT_EQ("dword:1", RawString("Completed"));
    EXPECT_EQ("C:\\Program Files\\Zembrio\\Installer", RawString("UninstallFolder"));
    EXPECT_EQ("", RawString("UninstallStartupIcon"));
    EXPECT_EQ("dword:0", RawString("NumItems"));

    // Read back (the other values' way back is the exit test's in StartupTest).
    CInstallerApp other;
    other.SetRegistryKey("Zembrio");
    other.LoadState();
    EXPECT_EQ(0x142u, other.m_nSystemType);
    EXPECT_EQ("C:\\Program Files\\Zembrio\\Installer", other.m_strUninstallFolder);
}

// The count bounds the reading (names ignore case; a missing URL reads as
// an empty one); a negative count reads none, and a damaged huge one does
// not hang start-up.
TEST_F(InstallerStateTest, ItemCountBoundsReadingAndMissingItemsReadEmpty)
{
    app.WriteProfileInt("", "NumItems", 3);
    app.WriteProfileString("", "ItemURL0", "http://h/install/installhelper.exe");
    app.WriteProfileInt("", "ItemSize0", 10240);
    app.WriteProfileInt("", "ItemSize1", 77);
    app.WriteProfileString("", "itemurl2", "http://h/install/setup.exe");
    app.WriteProfileInt("", "ItemSize2", 20971520);
    app.LoadState();
    ASSERT_EQ(3u, app.m_astrItemURL.size());
    ASSERT_EQ(3u, app.m_anItemSize.size());
    EXPECT_EQ("", app.m_astrItemURL[1]);
    EXPECT_EQ(77u, app.RememberedItemSize(""));
    EXPECT_EQ(20971520u, app.RememberedItemSize("http://H/Install/SETUP.exe"));
    EXPECT_EQ(10240u, app.RememberedItemSize("HTTP://H/INSTALL/INSTALLHELPER.EXE"));
    EXPECT_EQ(0u, app.RememberedItemSize("http://h/install/setupm.exe"));

    app.WriteProfileInt("", "NumItems", -2);
    app.LoadState();
    EXPECT_TRUE(app.m_astrItemURL.empty());
    EXPECT_TRUE(app.m_anItemSize.empty());
    app.WriteProfileInt("", "NumItems", 0x7FFFFFFF);
    DWORD start = GetTickCount();
    app.LoadState();
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_LE(app.m_astrItemURL.size(), 1000u);
}

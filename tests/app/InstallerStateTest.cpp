#include <gtest/gtest.h>
#include "app/InstallerApp.h"
#include "support/TestSupport.h"

// The record is read and written through the real registry (redirected).
class InstallerStateTest : public ::testing::Test {
protected:
    void SetUp() override { app.SetRegistryKey("Zembrio"); }
    RegistrySandbox registry;
    CInstallerApp app;
};

TEST_F(InstallerStateTest, MissingRecordReadsAsDefaultsAndStartsFresh)
{
    app.m_strExeVersion = "2.0.320.0";
    app.LoadState();
    EXPECT_EQ("", app.m_strVersion);
    EXPECT_EQ(0u, app.m_nSystemType);
    EXPECT_TRUE(app.m_astrItemURL.empty());
    EXPECT_TRUE(app.DecideFreshStart());
    EXPECT_EQ("2.0.320.0", app.m_strVersion);
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
    EXPECT_EQ(21u, app.m_anItemSize[1]);
    EXPECT_EQ(21u, app.RememberedItemSize("HTTP://A/Y.EXE"));
    EXPECT_EQ(0u, app.RememberedItemSize("http://a/z.exe"));
}

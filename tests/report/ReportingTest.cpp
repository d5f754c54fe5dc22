#include <gtest/gtest.h>
#include <cctype>
#include <cstring>
#include "support/AppFixture.h"

// ---- escaping and addresses (no network) -----------------------------------

TEST(EscapeUrlText, EveryByteValueKeptOrEscapedByItsClass)
{
    for (int b = 0; b < 256; b++) {
        std::string in(1, (char)b);
        bool kept = (b < 128 && isalnum(b)) || (b != 0 && strchr("'()*-._", b));
        char escaped[4];
        snprintf(escaped, sizeof escaped, "%%%02X", b);
        EXPECT_EQ(kept ? in : std::string(escaped), CInstallerApp::EscapeUrlText(in)) << "byte " << b;
    }
}

TEST(EscapeUrlText, ReservedCharactersSpaceAndHighBytes)
{
    EXPECT_EQ("%22%3C%3E%25%5C%5E%5B%5D%60%2B%24%2C%40%3A%3B%2F%21%23%3F%3D%26",
              CInstallerApp::EscapeUrlText("\"<>%\\^[]`+$,@:;/!#?=&"));
    EXPECT_EQ("ThreadControl%2CNetworkError", CInstallerApp::EscapeUrlText("ThreadControl,NetworkError"));
    EXPECT_EQ("setup.exe", CInstallerApp::EscapeUrlText("setup.exe"));
    EXPECT_EQ("a%20b%7E%7B%7C%7D%7F%05%E9%FF", CInstallerApp::EscapeUrlText("a b~{|}\x7f\x05\xe9\xff"));
    EXPECT_EQ("", CInstallerApp::EscapeUrlText(""));
    // Embedded zero bytes are text like any other.
    EXPECT_EQ("a%00b", CInstallerApp::EscapeUrlText(std::string("a\0b", 3)));
}

TEST(ErrorCategoryText, KnownValuesAndEverythingElseGeneral)
{
    const char* expected[] = {"simulated", "general", "network", "fileio", "permissions", "unsupportedos", "diskspace"};
    for (int i = 0; i < 7; i++)
        EXPECT_STREQ(expected[i], ErrorCategoryText(i));
    EXPECT_STREQ("general", ErrorCategoryText(7));
    EXPECT_STREQ("general", ErrorCategoryText(-1));
    EXPECT_STREQ("general", ErrorCategoryText(1000));
}

TEST_F(AppFixture, ReportUrlJoinsEscapedCategoryAndNameAndEscapesTheUserId)
{
    std::string logger = app.EndpointUrl(Logger);
    app.m_strUserId = "1234567890123";
    EXPECT_EQ(logger + "?event=generalbootstrapstart&userUID=1234567890123&source=zembrioinstaller",
              app.BuildReportUrl("general", "bootstrapstart"));
    EXPECT_EQ(logger + "?event=networkThreadControl%2CNetworkError&userUID=1234567890123&source=zembrioinstaller",
              app.BuildReportUrl("network", "ThreadControl,NetworkError"));
    EXPECT_EQ(logger + "?event=general&userUID=1234567890123&source=zembrioinstaller", app.BuildReportUrl(nullptr, nullptr));
    EXPECT_EQ(logger + "?event=diskspace&userUID=1234567890123&source=zembrioinstaller", app.BuildReportUrl("diskspace", ""));
    // An id from a cookie must not add or forge query fields.
    app.m_strUserId = "a&b=c d";
    EXPECT_EQ(logger + "?event=generalx&userUID=a%26b%3Dc%20d&source=zembrioinstaller", app.BuildReportUrl("general", "x"));
    app.m_strUserId.clear();
    EXPECT_EQ(logger + "?event=generalx&userUID=&source=zembrioinstaller", app.BuildReportUrl("general", "x"));
}

TEST_F(AppFixture, ErrorPageUrlIsTheFaqWithTheCategoryAsFragment)
{
    std::string faq = app.EndpointUrl(FaqPage);
    EXPECT_EQ(faq + "#network", app.ErrorPageUrl("network"));
    EXPECT_EQ(faq + "#general", app.ErrorPageUrl(nullptr));
}

// ---- reports over the wire ---------------------------------------------------

TEST_F(AppFixture, ErrorReportLogsSendsMarksFailedAndAsksForTheErrorPage)
{
    app.m_strUserId = "42";
    frame->ReportError(CategoryNetwork, "nonetworkavailable", true, true);
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_EQ(app.EndpointUrl(FaqPage) + std::string("#network"), frame->ErrorLink());
    EXPECT_TRUE(ErrorPageRequested());
    ASSERT_EQ(1u, logger.Targets().size());
    EXPECT_EQ("/Logger/Zembrio.aspx?event=networknonetworkavailable&userUID=42&source=zembrioinstaller",
              logger.Targets()[0]);
    EXPECT_EQ("ZembrioTests", logger.Agents()[0]);
    EXPECT_EQ(std::vector<std::string>{"Error=network,nonetworkavailable"}, LogLines());
}

TEST_F(AppFixture, ErrorReportFlagsAreHonouredAndOddCategoriesAreGeneral)
{
    frame->ReportError(7, nullptr, false, false);
    frame->ReportError(-1, "x", false, false);
    EXPECT_FALSE(frame->m_bFailed);
    EXPECT_EQ("", frame->ErrorLink());
    EXPECT_FALSE(ErrorPageRequested());
    ASSERT_EQ(2u, logger.Targets().size());
    EXPECT_EQ("/Logger/Zembrio.aspx?event=general&userUID=&source=zembrioinstaller", logger.Targets()[0]);
    EXPECT_EQ("/Logger/Zembrio.aspx?event=generalx&userUID=&source=zembrioinstaller", logger.Targets()[1]);
    EXPECT_EQ((std::vector<std::string>{"Error=general,", "Error=general,x"}), LogLines());
}

TEST_F(AppFixture, EventReportLogsAndSendsWithoutTouchingTheWindow)
{
    frame->ReportEvent(CategoryGeneral, "setup.exe");
    EXPECT_FALSE(frame->m_bFailed);
    EXPECT_FALSE(ErrorPageRequested());
    ASSERT_EQ(1u, logger.Targets().size());
    EXPECT_EQ("/Logger/Zembrio.aspx?event=generalsetup.exe&userUID=&source=zembrioinstaller", logger.Targets()[0]);
    EXPECT_EQ(std::vector<std::string>{"Event=general,setup.exe"}, LogLines());
}

TEST_F(AppFixture, ReportsToADeadLoggerAreLostSilently)
{
    UseEndpoints("http://127.0.0.1:" + std::to_string(RefusingPort()));
    DWORD start = GetTickCount();
    frame->ReportError(CategoryFileIO, "cantcreateinputfile", true, true);
    frame->ReportEvent(CategoryGeneral, "bootstrapstart");
    EXPECT_LT(GetTickCount() - start, 10000u);
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_TRUE(ErrorPageRequested());
    EXPECT_EQ((std::vector<std::string>{"Error=fileio,cantcreateinputfile", "Event=general,bootstrapstart"}), LogLines());
}

// ---- connectivity probe ------------------------------------------------------

TEST_F(AppFixture, ProbeTriesFiveTimesAgainstResetConnectionsThenReportsOnce)
{
    LoopbackServer site(LoopbackServer::Reset);
    UseEndpoints(logger.Url(), site.Url());
    EXPECT_FALSE(app.ProbeConnectivity());
    EXPECT_EQ(5, site.Connections());
    ASSERT_EQ(1u, logger.Targets().size());
    EXPECT_EQ("/Logger/Zembrio.aspx?event=networknonetworkavailable&userUID=&source=zembrioinstaller",
              logger.Targets()[0]);
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_TRUE(ErrorPageRequested());
    EXPECT_EQ(std::vector<std::string>{"Error=network,nonetworkavailable"}, LogLines());
}

// A server that closes the connection without a byte of answer reaches
// nothing, though WinINet under Wine opens the address as an empty answer.
TEST_F(AppFixture, ProbeTreatsAConnectionClosedWithoutAnswerAsAFailure)
{
    LoopbackServer site(LoopbackServer::Close);
    UseEndpoints(logger.Url(), site.Url());
    EXPECT_FALSE(app.ProbeConnectivity());
    EXPECT_EQ(5, site.Connections());
    ASSERT_EQ(1u, logger.Targets().size());
    EXPECT_TRUE(frame->m_bFailed);
}

TEST_F(AppFixture, ProbeAgainstARefusedPortFailsAndReports)
{
    UseEndpoints(logger.Url(), "http://127.0.0.1:" + std::to_string(RefusingPort()));
    EXPECT_FALSE(app.ProbeConnectivity());
    ASSERT_EQ(1u, logger.Targets().size());
    EXPECT_EQ("/Logger/Zembrio.aspx?event=networknonetworkavailable&userUID=&source=zembrioinstaller",
              logger.Targets()[0]);
}

TEST_F(AppFixture, ProbeCountsAnErrorStatusAsReachable)
{
    LoopbackServer site(LoopbackServer::Answer, 500);
    UseEndpoints(logger.Url(), site.Url());
    EXPECT_TRUE(app.ProbeConnectivity());
    EXPECT_EQ(std::vector<std::string>{"/"}, site.Targets());
    EXPECT_TRUE(logger.Targets().empty());
    EXPECT_FALSE(frame->m_bFailed);
    EXPECT_TRUE(LogLines().empty());
}

#include <winsock2.h>
#include <gtest/gtest.h>
#include <cctype>
#include <cstring>
#include <vector>
#include "report/ConnectivityProbe.h"
#include "support/AppFixture.h"

// ---- escaping and addresses (no network) -----------------------------------

TEST(EscapeUrlText, EveryByteValueKeptOrEscapedByItsClass)
{
    for (int b = 0; b < 256; b++) {
        std::string in(1, (char)b);
        bool kept = (b < 128 && isalnum(b)) || (b != 0 && strchr("'()*-._", b));
        char escaped[4];
        snprintf(escaped, sizeof escaped, "%%%02X", b);
        EXPECT_EQ(kept ? in : std::string(escaped), CEventReporter::EscapeUrlText(in)) << "byte " << b;
    }
}

TEST(EscapeUrlText, ReservedCharactersSpaceAndHighBytes)
{
    EXPECT_EQ("%22%3C%3E%25%5C%5E%5B%5D%60%2B%24%2C%40%3A%3B%2F%21%23%3F%3D%26",
              CEventReporter::EscapeUrlText("\"<>%\\^[]`+$,@:;/!#?=&"));
    EXPECT_EQ("ThreadControl%2CNetworkError", CEventReporter::EscapeUrlText("ThreadControl,NetworkError"));
    EXPECT_EQ("setup.exe", CEventReporter::EscapeUrlText("setup.exe"));
    EXPECT_EQ("a%20b%7E%7B%7C%7D%7F%05%E9%FF", CEventReporter::EscapeUrlText("a b~{|}\x7f\x05\xe9\xff"));
    EXPECT_EQ("", CEventReporter::EscapeUrlText(""));
    // Embedded zero bytes are text like any other.
    EXPECT_EQ("a%00b", CEventReporter::EscapeUrlText(std::string("a\0b", 3)));
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
              app.m_reporter.BuildReportUrl("general", "bootstrapstart"));
    EXPECT_EQ(logger + "?event=networkThreadControl%2CNetworkError&userUID=1234567890123&source=zembrioinstaller",
              app.m_reporter.BuildReportUrl("network", "ThreadControl,NetworkError"));
    EXPECT_EQ(logger + "?event=general&userUID=1234567890123&source=zembrioinstaller", app.m_reporter.BuildReportUrl(nullptr, nullptr));
    EXPECT_EQ(logger + "?event=diskspace&userUID=1234567890123&source=zembrioinstaller", app.m_reporter.BuildReportUrl("diskspace", ""));
    // An id from a cookie must not add or forge query fields.
    app.m_strUserId = "a&b=c d";
    EXPECT_EQ(logger + "?event=generalx&userUID=a%26b%3Dc%20d&source=zembrioinstaller", app.m_reporter.BuildReportUrl("general", "x"));
    app.m_strUserId.clear();
    EXPECT_EQ(logger + "?event=generalx&userUID=&source=zembrioinstaller", app.m_reporter.BuildReportUrl("general", "x"));
}

TEST_F(AppFixture, ErrorPageUrlIsTheFaqWithTheCategoryAsFragment)
{
    std::string faq = app.EndpointUrl(FaqPage);
    EXPECT_EQ(faq + "#network", app.m_reporter.ErrorPageUrl("network"));
    EXPECT_EQ(faq + "#general", app.m_reporter.ErrorPageUrl(nullptr));
}

// ---- reports over the wire ---------------------------------------------------

TEST_F(AppFixture, ErrorReportLogsSendsMarksFailedAndAsksForTheErrorPage)
{
    app.m_strUserId = "42";
    frame->ReportError(CategoryNetwork, "nonetworkavailable", true, true);
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_EQ(app.EndpointUrl(FaqPage) + std::string("#network"), frame->ErrorLink());
    EXPECT_TRUE(ErrorPageRequested());
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ("/Logger/Zembrio.aspx?event=networknonetworkavailable&userUID=42&source=zembrioinstaller",
              Sent()[0]);
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
    ASSERT_EQ(2u, Sent().size());
    EXPECT_EQ("/Logger/Zembrio.aspx?event=general&userUID=&source=zembrioinstaller", Sent()[0]);
    EXPECT_EQ("/Logger/Zembrio.aspx?event=generalx&userUID=&source=zembrioinstaller", Sent()[1]);
    EXPECT_EQ((std::vector<std::string>{"Error=general,", "Error=general,x"}), LogLines());
}

TEST_F(AppFixture, EventReportLogsAndSendsWithoutTouchingTheWindow)
{
    frame->ReportEvent(CategoryGeneral, "setup.exe");
    EXPECT_FALSE(frame->m_bFailed);
    EXPECT_FALSE(ErrorPageRequested());
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ("/Logger/Zembrio.aspx?event=generalsetup.exe&userUID=&source=zembrioinstaller", Sent()[0]);
    EXPECT_EQ(std::vector<std::string>{"Event=general,setup.exe"}, LogLines());

    // Reports made faster than they go out still go out in their order.
    std::vector<std::string> expected = Sent();
    for (int i = 0; i < 20; i++) {
        std::string name = "e" + std::to_string(i);
        frame->ReportEvent(CategoryGeneral, name.c_str());
        expected.push_back("/Logger/Zembrio.aspx?event=general" + name + "&userUID=&source=zembrioinstaller");
    }
    EXPECT_EQ(expected, Sent());
}

// A logger that refuses, and one that takes the request and never answers:
// the report calls return at once, the error page is asked for at once, and
// the reports are lost without a word beyond their run-log lines.
TEST_F(AppFixture, ReportsNeverWaitForADeadOrSilentLogger)
{
    LoopbackServer silent(LoopbackServer::Silent);
    for (std::string base : {"http://127.0.0.1:" + std::to_string(RefusingPort()), silent.Url()}) {
        SCOPED_TRACE(base);
        frame->m_bFailed = false;
        UseEndpoints(base);
        size_t before = LogLines().size();
        DWORD start = GetTickCount();
        frame->ReportError(CategoryFileIO, "cantcreateinputfile", true, true);
        frame->ReportEvent(CategoryGeneral, "bootstrapstart");
        EXPECT_LT(GetTickCount() - start, 250u);
        EXPECT_TRUE(frame->m_bFailed);
        EXPECT_TRUE(ErrorPageRequested());
        std::vector<std::string> lines = LogLines();
        EXPECT_EQ((std::vector<std::string>{"Error=fileio,cantcreateinputfile", "Event=general,bootstrapstart"}),
                  std::vector<std::string>(lines.begin() + before, lines.end()));
    }
    for (int i = 0; i < 100 && silent.Targets().empty(); i++)
        Sleep(50);
    EXPECT_EQ(std::vector<std::string>{"/Logger/Zembrio.aspx?event=fileiocantcreateinputfile&userUID=&source=zembrioinstaller"},
              silent.Targets());
}

// The exit with three reports queued for the logger: what is queued gets
// 2 s in all, while the workers stop and the window goes; the run log names
// each report that did not go out, and closes after them.
class ReportsAtExitTest : public AppFixture {
protected:
    // How long the exit took.
    DWORD ExitWithThreeReports(const LoopbackServer& server)
    {
        UseEndpoints(server.Url());
        frame->ReportEvent(CategoryGeneral, "first");
        frame->ReportEvent(CategoryGeneral, "second");
        frame->ReportError(CategoryNetwork, "third", true, true);
        for (int i = 0; i < 100 && server.Targets().empty(); i++)
            Sleep(20);
        DWORD start = GetTickCount();
        app.ExitInstance();
        frame = nullptr;   // the exit deleted it
        return GetTickCount() - start;
    }
    const std::vector<std::string> kReported = {"Event=general,first", "Event=general,second", "Error=network,third"};
};

TEST_F(ReportsAtExitTest, AWorkingLoggerGetsThemAll)
{
    EXPECT_LT(ExitWithThreeReports(logger), 1000u);
    EXPECT_EQ(3u, logger.Targets().size());
    EXPECT_EQ(kReported, LogLines());
}

TEST_F(ReportsAtExitTest, ASilentLoggerHoldsTheExitTwoSecondsAndTheRestAreNamed)
{
    LoopbackServer silent(LoopbackServer::Silent);
    DWORD took = ExitWithThreeReports(silent);
    EXPECT_GE(took, 1900u);
    EXPECT_LT(took, 3000u);
    std::vector<std::string> lines = kReported;
    for (const char* named :
         {"Report unanswered=general,first", "Report dropped=general,second", "Report dropped=network,third"})
        lines.push_back(named);
    EXPECT_EQ(lines, LogLines());
    EXPECT_EQ(std::vector<std::string>{"/Logger/Zembrio.aspx?event=generalfirst&userUID=&source=zembrioinstaller"},
              silent.Targets());
}

// ---- connectivity probe ------------------------------------------------------

// The waits between the probe's tries, recorded instead of waited.
static std::vector<DWORD> g_probeWaits;
static DWORD RecordProbeWait(HANDLE cancel, DWORD ms)
{
    g_probeWaits.push_back(ms);
    return WaitForSingleObject(cancel, 0);
}

class ProbeTest : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        g_probeWaits.clear();
        g_pfnProbeWait = RecordProbeWait;
        cancel = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        g_pfnProbeWait = m_pfnSavedWait;
        CloseHandle(cancel);
        AppFixture::TearDown();
    }
    bool Probe(const std::string& url) { return ProbeConnectivity(app.m_pSession, url.c_str(), cancel); }
    // Runs the message loop until the frame has taken the probe's answer.
    void TakeProbeAnswer()
    {
        MSG msg;
        for (int i = 0; i < 400 && frame->m_bProbing; i++) {
            if (PeekMessageA(&msg, frame->m_hWnd, CMainFrame::kProbeDoneMessage, CMainFrame::kProbeDoneMessage, PM_REMOVE))
                DispatchMessageA(&msg);
            else
                Sleep(25);
        }
        EXPECT_FALSE(frame->m_bProbing);
    }

    HANDLE cancel = nullptr;
    const std::vector<DWORD> kSpacedOut = {1000, 2000, 4000, 8000};

private:
    DWORD (*m_pfnSavedWait)(HANDLE, DWORD) = g_pfnProbeWait;
};

TEST_F(ProbeTest, ProbeTriesFiveTimesAgainstResetConnectionsSpacedOut)
{
    LoopbackServer site(LoopbackServer::Reset);
    EXPECT_FALSE(Probe(site.Url()));
    EXPECT_EQ(5, site.Connections());
    EXPECT_EQ(kSpacedOut, g_probeWaits);
    // The stage reports the failure; the probe itself says nothing.
    EXPECT_TRUE(Sent().empty());
    EXPECT_FALSE(frame->m_bFailed);
    EXPECT_TRUE(LogLines().empty());
}

// A server that closes the connection without a byte of answer reaches
// nothing, though WinINet under Wine opens the address as an empty answer.
TEST_F(ProbeTest, ProbeTreatsAConnectionClosedWithoutAnswerAsAFailure)
{
    LoopbackServer site(LoopbackServer::Close);
    EXPECT_FALSE(Probe(site.Url()));
    EXPECT_EQ(5, site.Connections());
    EXPECT_EQ(kSpacedOut, g_probeWaits);
}

TEST_F(ProbeTest, ProbeAgainstARefusedPortFailsAndReports)
{
    UseEndpoints(logger.Url(), "http://127.0.0.1:" + std::to_string(RefusingPort()));
    frame->m_nStage = 2;
    frame->StartProbe();
    EXPECT_TRUE(frame->m_bProbing);
    TakeProbeAnswer();
    EXPECT_EQ(kSpacedOut, g_probeWaits);
    // The probe's own error first, then the stage's.
    EXPECT_EQ((std::vector<std::string>{
                  "/Logger/Zembrio.aspx?event=networknonetworkavailable&userUID=&source=zembrioinstaller",
                  "/Logger/Zembrio.aspx?event=networknovalidconnection&userUID=&source=zembrioinstaller"}),
              Sent());
    EXPECT_EQ((std::vector<std::string>{"Error=network,nonetworkavailable", "Error=network,novalidconnection"}),
              LogLines());
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_TRUE(ErrorPageRequested());
    // Nothing of the stage's later steps: no checks, no copy, no downloads.
    EXPECT_EQ(nullptr, frame->m_pDownloads);
    EXPECT_TRUE(app.m_strUninstallExecutable.empty());
}

TEST_F(ProbeTest, ProbeCountsAnErrorStatusAsReachable)
{
    LoopbackServer site(LoopbackServer::Answer, 500);
    EXPECT_TRUE(Probe(site.Url()));
    EXPECT_EQ(std::vector<std::string>{"/"}, site.Targets());
    EXPECT_TRUE(g_probeWaits.empty());
    EXPECT_TRUE(Sent().empty());
    EXPECT_FALSE(frame->m_bFailed);
    EXPECT_TRUE(LogLines().empty());
}

// On its own thread, in real time: the second try waits its second, and a
// cancel meanwhile ends the probe at once, without a report.
TEST_F(ProbeTest, CancelEndsTheProbeBetweenItsTries)
{
    g_pfnProbeWait = [](HANDLE cancel, DWORD ms) { return WaitForSingleObject(cancel, ms); };
    LoopbackServer site(LoopbackServer::Reset);
    UseEndpoints(logger.Url(), site.Url());
    frame->m_nStage = 2;
    frame->StartProbe();
    for (int i = 0; i < 200 && site.Connections() < 1; i++)
        Sleep(25);
    Sleep(700);
    EXPECT_EQ(1, site.Connections());
    DWORD start = GetTickCount();
    frame->CancelWorkers();
    ASSERT_NE(nullptr, frame->m_pProbeThread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(frame->m_pProbeThread->m_hThread, 5000));
    EXPECT_LT(GetTickCount() - start, 200u);
    TakeProbeAnswer();
    EXPECT_EQ(1, site.Connections());
    EXPECT_TRUE(Sent().empty());
    EXPECT_FALSE(frame->m_bFailed);
    EXPECT_TRUE(LogLines().empty());
}

#include <winsock2.h>
#include <gtest/gtest.h>
#include <cctype>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>
#include "report/ConnectivityProbe.h"
#include "support/RoomFixture.h"

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

// Strings escape byte by byte, embedded zero bytes included.
TEST(EscapeUrlText, StringsEscapeByteByByte)
{
    EXPECT_EQ("ThreadControl%2CNetworkError", CEventReporter::EscapeUrlText("ThreadControl,NetworkError"));
    EXPECT_EQ("a%20b%7E%E9%FF", CEventReporter::EscapeUrlText("a b~\xe9\xff"));
    EXPECT_EQ("", CEventReporter::EscapeUrlText(""));
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

class ReportingTest : public RoomFixture {
protected:
    std::string Report(const char* category, const char* name) const
    {
        return std::string("/Logger/Zembrio.aspx?event=") + category + name + "&userUID=&source=zembrioinstaller";
    }
};

TEST_F(ReportingTest, ReportAndErrorPageAddressesEscapeWhatTheyCarry)
{
    std::string logger = endpoints.Url(Logger);
    userId = "1234567890123";
    EXPECT_EQ(logger + "?event=generalbootstrapstart&userUID=1234567890123&source=zembrioinstaller",
              reporter.BuildReportUrl("general", "bootstrapstart"));
    EXPECT_EQ(logger + "?event=networkThreadControl%2CNetworkError&userUID=1234567890123&source=zembrioinstaller",
              reporter.BuildReportUrl("network", "ThreadControl,NetworkError"));
    EXPECT_EQ(logger + "?event=general&userUID=1234567890123&source=zembrioinstaller", reporter.BuildReportUrl(nullptr, nullptr));
    EXPECT_EQ(logger + "?event=diskspace&userUID=1234567890123&source=zembrioinstaller", reporter.BuildReportUrl("diskspace", ""));
    // An id from a cookie must not add or forge query fields.
    userId = "a&b=c d";
    EXPECT_EQ(logger + "?event=generalx&userUID=a%26b%3Dc%20d&source=zembrioinstaller", reporter.BuildReportUrl("general", "x"));
    userId.clear();
    EXPECT_EQ(logger + "?event=generalx&userUID=&source=zembrioinstaller", reporter.BuildReportUrl("general", "x"));
    // The error page is the FAQ with the category as fragment.
    std::string faq = endpoints.Url(FaqPage);
    EXPECT_EQ(faq + "#network", reporter.ErrorPageUrl("network"));
    EXPECT_EQ(faq + "#general", reporter.ErrorPageUrl(nullptr));
}

// ---- reports over the wire ---------------------------------------------------

// An error is logged and sent; the window is told to mark the run failed and
// to show the page of its category, each only where the caller asks.
// Categories outside the known ones are general.
TEST_F(ReportingTest, ErrorReportLogsSendsAndTellsTheWindowWhatItIsAskedTo)
{
    userId = "42";
    const std::string faq = endpoints.Url(FaqPage);
    const struct {
        int category;
        const char* name;
        bool showPage, markFailed;
        const char* line;
        const char* event;
    } cases[] = {
        {CategoryNetwork, "nonetworkavailable", true, true, "Error=network,nonetworkavailable",
         "networknonetworkavailable"},
        {CategoryFileIO, "a", true, false, "Error=fileio,a", "fileioa"},
        {CategoryDiskSpace, "150", false, true, "Error=diskspace,150", "diskspace150"},
        {7, nullptr, false, false, "Error=general,", "general"},
        {-1, "x", false, false, "Error=general,x", "generalx"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        failures = RecordedFailures();
        size_t logged = LogLines().size(), sent = Sent().size();
        reports.ReportError(c.category, c.name, c.showPage, c.markFailed);
        EXPECT_EQ(c.markFailed ? 1 : 0, failures.failed);
        std::vector<std::string> pages;
        if (c.showPage)
            pages.push_back(std::to_string(c.category) + " " + (c.name ? c.name : "") + " " + faq + "#" +
                            ErrorCategoryText(c.category));
        EXPECT_EQ(pages, failures.pages);
        std::vector<std::string> lines = LogLines(), targets = Sent();
        EXPECT_EQ(std::vector<std::string>{c.line}, std::vector<std::string>(lines.begin() + logged, lines.end()));
        EXPECT_EQ(std::vector<std::string>{"/Logger/Zembrio.aspx?event=" + std::string(c.event) +
                                           "&userUID=42&source=zembrioinstaller"},
                  std::vector<std::string>(targets.begin() + sent, targets.end()));
    }
    EXPECT_EQ("ZembrioTests", logger.Agents()[0]);
}

TEST_F(ReportingTest, EventReportLogsAndSendsWithoutTouchingTheWindow)
{
    reports.ReportEvent(CategoryGeneral, "setup.exe");
    EXPECT_EQ(0, failures.failed);
    EXPECT_TRUE(failures.pages.empty());
    EXPECT_EQ(std::vector<std::string>{Report("general", "setup.exe")}, Sent());
    EXPECT_EQ(std::vector<std::string>{"Event=general,setup.exe"}, LogLines());

    // Reports made faster than they go out still go out in their order.
    std::vector<std::string> expected = Sent();
    for (int i = 0; i < 20; i++) {
        std::string name = "e" + std::to_string(i);
        reports.ReportEvent(CategoryGeneral, name.c_str());
        expected.push_back(Report("general", name.c_str()));
    }
    EXPECT_EQ(expected, Sent());
}

// A logger that refuses, and one that takes the request and never answers:
// the report calls return at once, the error page is asked for at once, and
// the reports are lost without a word beyond their run-log lines.
TEST_F(ReportingTest, ReportsNeverWaitForADeadOrSilentLogger)
{
    LoopbackServer silent(LoopbackServer::Silent);
    for (std::string base : {"http://127.0.0.1:" + std::to_string(RefusingPort()), silent.Url()}) {
        SCOPED_TRACE(base);
        failures = RecordedFailures();
        endpointsInUse.Use(base);
        size_t before = LogLines().size();
        DWORD start = GetTickCount();
        reports.ReportError(CategoryFileIO, "cantcreateinputfile", true, true);
        reports.ReportEvent(CategoryGeneral, "bootstrapstart");
        EXPECT_LT(GetTickCount() - start, 250u);
        EXPECT_EQ(1, failures.failed);
        EXPECT_EQ(1u, failures.pages.size());
        std::vector<std::string> lines = LogLines();
        EXPECT_EQ((std::vector<std::string>{"Error=fileio,cantcreateinputfile", "Event=general,bootstrapstart"}),
                  std::vector<std::string>(lines.begin() + before, lines.end()));
    }
    for (int i = 0; i < 100 && silent.Targets().empty(); i++)
        Sleep(50);
    EXPECT_EQ(std::vector<std::string>{Report("fileio", "cantcreateinputfile")}, silent.Targets());
}

// ---- connectivity probe ------------------------------------------------------

// The waits between the probe's tries, recorded instead of waited.
static std::vector<DWORD> g_probeWaits;
static DWORD RecordProbeWait(HANDLE cancel, DWORD ms)
{
    g_probeWaits.push_back(ms);
    return WaitForSingleObject(cancel, 0);
}

class ProbeTest : public RoomFixture {
protected:
    void SetUp() override
    {
        RoomFixture::SetUp();
        g_probeWaits.clear();
        cancel = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        CloseHandle(cancel);
        RoomFixture::TearDown();
    }
    bool Probe(const std::string& url) { return ProbeConnectivity(&session, url.c_str(), cancel); }

    ScopedSeam<decltype(g_pfnProbeWait)> wait{g_pfnProbeWait, RecordProbeWait};
    HANDLE cancel = nullptr;
};

// Five tries, 1, 2, 4 and 8 s apart, against a site that resets, closes
// without a byte of answer (WinINet under Wine opens that as an empty
// answer) or refuses; any status line at all is an answer. The stage
// reports the failure: the probe itself says nothing.
TEST_F(ProbeTest, EachKindOfSiteIsReachedOrTriedFiveTimesSpacedOut)
{
    const std::vector<DWORD> kSpacedOut = {1000, 2000, 4000, 8000};
    const struct {
        const char* what;
        bool listens;
        LoopbackServer::Mode mode;
        int status;
        bool reached;
    } cases[] = {
        {"reset", true, LoopbackServer::Reset, 200, false},
        {"closed without answer", true, LoopbackServer::Close, 200, false},
        {"refused", false, LoopbackServer::Answer, 200, false},
        {"an error status", true, LoopbackServer::Answer, 500, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        g_probeWaits.clear();
        std::unique_ptr<LoopbackServer> site(c.listens ? new LoopbackServer(c.mode, c.status) : nullptr);
        EXPECT_EQ(c.reached, Probe(site ? site->Url() : "http://127.0.0.1:" + std::to_string(RefusingPort())));
        EXPECT_EQ(c.reached ? std::vector<DWORD>() : kSpacedOut, g_probeWaits);
        if (site) {
            EXPECT_EQ(c.reached ? 1 : 5, site->Connections());
        }
        if (site && c.reached) {
            EXPECT_EQ(std::vector<std::string>{"/"}, site->Targets());
        }
    }
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(0, failures.failed);
    EXPECT_TRUE(LogLines().empty());
}

// In real time: the second try waits its second, and a cancel meanwhile
// ends the probe at once.
TEST_F(ProbeTest, CancelEndsTheProbeBetweenItsTries)
{
    ScopedSeam<decltype(g_pfnProbeWait)> realWait(g_pfnProbeWait, [](HANDLE cancel, DWORD ms) {
        return WaitForSingleObject(cancel, ms);
    });
    LoopbackServer site(LoopbackServer::Reset);
    DWORD ended = 0;
    bool reached = true;
    std::thread probe([&] {
        reached = Probe(site.Url());
        ended = GetTickCount();
    });
    for (int i = 0; i < 200 && site.Connections() < 1; i++)
        Sleep(25);
    Sleep(700);
    EXPECT_EQ(1, site.Connections());
    DWORD cancelled = GetTickCount();
    SetEvent(cancel);
    probe.join();
    EXPECT_FALSE(reached);
    EXPECT_LT(ended - cancelled, 200u);
    EXPECT_EQ(1, site.Connections());
}

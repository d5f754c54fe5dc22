#include <winsock2.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "support/AppFixture.h"

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

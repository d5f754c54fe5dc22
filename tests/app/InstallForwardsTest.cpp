#include <winsock2.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "app/Rooms.h"
#include "download/DownloadList.h"
#include "install/InstallTasks.h"
#include "report/ConnectivityProbe.h"
#include "support/AppFixture.h"
#include "system/SystemType.h"

// The frame's side of the installation stage: what it hands the probe, the
// planner and the launch worker from its fields and the application's, and
// what it does with what they give back.
class InstallForwardsTest : public AppFixture {
protected:
    // Runs PrepareInstallTasks with the cancel flag already set, so the
    // download worker it starts ends at once; waits for that worker.
    void Prepare()
    {
        frame->m_bCancel = true;
        frame->PrepareInstallTasks();
        if (frame->m_pDownloadThread) {
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(frame->m_pDownloadThread->m_hThread, 10000));
        }
    }
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
};

// The list takes the sizes the record holds (its addresses and folder are
// every end-to-end installation's); the download worker starts only for a
// plan that stands, and clears its handle on the way out.
TEST_F(InstallForwardsTest, DownloadWorkerStartsOnlyForAPlanThatStands)
{
    app.m_strTempFolder = folder.Path() + "\"x";
    Prepare();
    ASSERT_NE(nullptr, frame->m_pDownloads);
    EXPECT_EQ(0u, frame->m_pDownloads->ItemCount());
    EXPECT_EQ(nullptr, frame->m_pDownloadThread);
    EXPECT_TRUE(frame->m_bFailed);

    app.m_strTempFolder = folder.Path();
    app.m_astrItemURL = {app.EndpointUrl(InstallBase) + std::string("/setup.exe")};
    app.m_anItemSize = {31457280};
    Prepare();
    ASSERT_EQ(2u, frame->m_pDownloads->ItemCount());
    EXPECT_EQ(31457280u, frame->m_pDownloads->Item(1).m_nKnownSize);
    EXPECT_EQ(ReadTextFile(folder.File("installhelpertasks.txt")), frame->m_strTaskFileText);
    EXPECT_NE(nullptr, frame->m_pDownloadThread);
    EXPECT_EQ(nullptr, frame->m_hWorker.load());
}

// The helper makes all four markers during the worker's first wait.
static std::string g_workingFolder;

// Once the update is in, the page turns and the record stops asking for it:
// a run killed now resumes without installing it again.
TEST_F(InstallForwardsTest, DotNetUpdateTakenIsRecordedAtOnce)
{
    app.m_strTempFolder = g_workingFolder = folder.Path();
    frame->m_nSystemType = NeedDotNet;
    Prepare();
    ASSERT_TRUE(CopyFileA(ZEMBRIO_STANDIN_DIR "/zembriomain_standin.exe", folder.File("installhelper.exe").c_str(), FALSE));
    ScopedSeam<decltype(g_pfnMarkerSleep)> markers(g_pfnMarkerSleep, [](DWORD) {
        for (const char* name : {"dotnetinstallstart", "dotnetinstallsucceeded", "setupinstallstart", "setupinstallsucceeded"})
            WriteTextFile(g_workingFolder + "\\" + name, "");
    });
    app.m_nSystemType = NeedDotNet;
    app.SaveStartState();
    frame->m_bCancel = false;
    EXPECT_EQ(0u, LaunchThread(frame));
    EXPECT_EQ(nullptr, frame->m_hWorker.load());
    EXPECT_FALSE(frame->m_bFailed);
    EXPECT_TRUE(frame->m_bDotNetReady);
    EXPECT_EQ(0u, frame->m_nSystemType & NeedDotNet);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, frame->m_hWnd, CMainFrame::kDotNetInstalledMessage,
                             CMainFrame::kDotNetInstalledMessage, PM_REMOVE));
    DispatchMessageA(&msg);
    app.LoadState();
    EXPECT_EQ(0u, app.m_nSystemType & NeedDotNet);
}

// The frame's probe is of the site's address, with the frame's cancel event:
// a site that cannot be reached gets the probe's error first, then the
// stage's, and nothing of the stage's later steps runs (no checks, no copy,
// no downloads); after a cancel the probe ends at its first wait, and its
// answer is not reported.
TEST_F(InstallForwardsTest, FramesProbeStopsTheStageOrEndsQuietlyOnCancel)
{
    ScopedSeam<decltype(g_pfnProbeWait)> noWaits(g_pfnProbeWait, [](HANDLE cancel, DWORD) {
        return WaitForSingleObject(cancel, 0);
    });
    LoopbackServer site(LoopbackServer::Reset);
    UseEndpoints(logger.Url(), site.Url());
    for (bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled ? "cancelled" : "unreachable");
        if (cancelled)
            frame->CancelWorkers();
        int before = site.Connections();
        frame->m_nStage = 2;
        frame->StartProbe();
        EXPECT_TRUE(frame->m_bProbing);
        TakeProbeAnswer();
        ASSERT_NE(nullptr, frame->m_pProbeThread);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(frame->m_pProbeThread->m_hThread, 5000));
        delete frame->m_pProbeThread;
        frame->m_pProbeThread = nullptr;
        EXPECT_EQ(cancelled ? 1 : 5, site.Connections() - before);
    }
    EXPECT_EQ((std::vector<std::string>{"Error=network,nonetworkavailable", "Error=network,novalidconnection"}),
              LogLines());
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_TRUE(ErrorPageRequested());
    EXPECT_EQ(nullptr, frame->m_pDownloads);
    EXPECT_TRUE(app.m_strUninstallExecutable.empty());
}

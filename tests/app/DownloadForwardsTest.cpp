// The application's side of the download worker: the thread it starts for
// the frame, how each way out stops it, and what it keeps of the worker's
// results in the record. What the worker itself does is tests/download's.
#include "support/AppFixture.h"
#include <algorithm>
#include "app/Resource.h"
#include "app/Rooms.h"
#include "download/DownloadList.h"

namespace {

class DownloadForwardsTest : public AppFixture {
protected:
    void TearDown() override
    {
        if (worker)
            CloseHandle(worker);
        AppFixture::TearDown();
    }
    // The worker started as the stage machine starts it, in the download
    // stage, against an install server that resets (it then waits a minute
    // to try again) or never answers. A handle of its thread that outlives
    // the frame is kept in `worker`.
    void StartWorker(const LoopbackServer& server)
    {
        UseEndpoints(server.Url(), logger.Url());   // the connectivity probe gets its answer
        frame->m_nStage = 2;
        frame->m_pDownloads = new DownloadList(app.m_pSession);
        frame->m_pDownloads->m_anRetryWaitsMs.assign(5, 60000);
        frame->m_pDownloads->AddItem(server.Url() + "/install/a.bin", folder.File("a.bin"), 0, 0);
        ASSERT_TRUE(StartDownloadThread(frame));
        if (worker)
            CloseHandle(worker);
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), frame->m_pDownloadThread->m_hThread, GetCurrentProcess(),
                                    &worker, SYNCHRONIZE, FALSE, 0));
        ASSERT_TRUE(WaitUntil([&] { return server.Connections() > 0; }, 10000));
        DWORD left;
        if (&server == &resetting) {
            ASSERT_TRUE(WaitUntil([&] { return frame->m_pDownloads->WaitingToRetry(GetTickCount(), left); }, 10000));
        }
    }
    bool ErrorLogged()
    {
        std::vector<std::string> lines = LogLines();
        return std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.compare(0, 6, "Error=") == 0; });
    }

    LoopbackServer resetting{LoopbackServer::Reset};
    LoopbackServer silent{LoopbackServer::Silent};
    HANDLE worker = nullptr;
};

// Every way out during the downloads stops the worker at once, without an
// error report; the frame goes only after the worker has ended for good.
// The exit ends within its bound even where closing the request does not
// end the read in progress (the silent server: a worker left running keeps
// its frame), and the record it saves holds the items whatever the worker did.
TEST_F(DownloadForwardsTest, EveryWayOutStopsTheWorker)
{
    const struct {
        const char* what;
        bool silentServer;
        void (*leave)(CInstallerApp& app, CMainFrame*& frame);
    } cases[] = {
        {"Cancel", false,
         [](CInstallerApp&, CMainFrame*& f) { SendMessageA(f->m_hWnd, WM_COMMAND, MAKEWPARAM(ID_CANCEL, BN_CLICKED), 0); }},
        {"Close", false,
         [](CInstallerApp&, CMainFrame*& f) { SendMessageA(f->m_hWnd, WM_COMMAND, MAKEWPARAM(ID_CLOSE, BN_CLICKED), 0); }},
        {"end of the session", false,
         [](CInstallerApp&, CMainFrame*& f) { EXPECT_EQ(TRUE, SendMessageA(f->m_hWnd, WM_QUERYENDSESSION, 0, 0)); }},
        {"window destroyed", false,
         [](CInstallerApp& app, CMainFrame*& f) {
             delete f;
             f = nullptr;
             app.m_pMainWnd = nullptr;
         }},
        {"exit", false, [](CInstallerApp& app, CMainFrame*&) { app.ExitInstance(); }},
        {"exit, the server silent", true, [](CInstallerApp& app, CMainFrame*&) { app.ExitInstance(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NewFrame();
        app.m_bStateLoaded = true;
        app.m_bFreshStart = FALSE;
        app.m_astrItemURL = {"http://h/install/a.bin"};
        app.m_anItemSize = {2000000};
        app.WriteProfileInt("", "NumItems", 0);
        StartWorker(c.silentServer ? silent : resetting);
        bool exit = std::string(c.what).compare(0, 4, "exit") == 0;
        DWORD started = GetTickCount();
        c.leave(app, frame);
        DWORD spent = GetTickCount() - started;
        bool ended = WaitForSingleObject(worker, 0) == WAIT_OBJECT_0;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, exit ? 30000 : 5000));
        // The exit's bound, or at once (a wait for a new try ends on a cancel).
        EXPECT_LT(exit ? spent : GetTickCount() - started, exit ? CMainFrame::kWorkerStopMs + 500 : 1000);
        if (exit) {
            EXPECT_EQ(1u, app.GetProfileInt("", "NumItems", 0));
            EXPECT_EQ(2000000u, app.GetProfileInt("", "ItemSize0", 0));
            // The exit deleted the frame of a worker that ended; one left
            // running keeps it, and it is the test's to delete once it ends.
            if (ended)
                frame = nullptr;
            app.m_pMainWnd = frame;
            app.OpenRunLog();
            if (!c.silentServer) {
                EXPECT_TRUE(ended);
            }
        }
        MSG quit;
        while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        EXPECT_FALSE(ErrorLogged());
    }
}

// Command 32780 while the downloads run (stage 2 again) leaves the running
// worker its list and stays the only download worker.
TEST_F(DownloadForwardsTest, StageTwoAgainLeavesTheRunningWorkerAlone)
{
    StartWorker(resetting);
    // What stage 2 needs to get as far as the download list on a resumption.
    app.m_bFreshStart = FALSE;
    app.m_astrShellFolder[FolderWindowsSystem] = folder.Path();
    DownloadList* list = frame->m_pDownloads;
    CWinThread* thread = frame->m_pDownloadThread;
    SendMessageA(frame->m_hWnd, WM_COMMAND, MAKEWPARAM(ID_AUTO_START_COMMAND, BN_CLICKED), 0);
    // Time for a probe, had one started, to answer and the stage to go on.
    for (DWORD started = GetTickCount(); GetTickCount() - started < 1500; Sleep(20)) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    EXPECT_EQ(list, frame->m_pDownloads);
    EXPECT_EQ(thread, frame->m_pDownloadThread);
    DWORD left;
    EXPECT_TRUE(list->WaitingToRetry(GetTickCount(), left));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(worker, 0));
    frame->CancelWorkers();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 5000));
    EXPECT_FALSE(ErrorLogged());
}

// The record takes the worker's list only on a fresh start (or when it has
// none): a resumption keeps the sizes it started from. A release serial
// lower than the one seen never replaces it.
TEST_F(DownloadForwardsTest, TheRecordKeepsTheFirstListAndTheHighestSerial)
{
    DownloadList list;
    list.AddItem("http://h/install/a.exe", folder.File("a.exe"), 0, 0);
    list.Item(0).m_nServerSize = 500;
    app.m_bFreshStart = FALSE;
    app.m_astrItemURL = {"http://h/install/old.exe"};
    app.m_anItemSize = {7};
    app.RecordItems(list);
    EXPECT_EQ(7u, app.RememberedItemSize("http://h/install/old.exe"));
    EXPECT_EQ(7u, app.GetProfileInt("", "ItemSize0", 0));
    app.m_bFreshStart = TRUE;
    list.Item(0).m_nServerSize = 600;
    app.RecordItems(list);
    EXPECT_EQ(600u, app.GetProfileInt("", "ItemSize0", 0));
    EXPECT_EQ(1u, app.GetProfileInt("", "NumItems", 0));

    app.SaveReleaseSerial(123);
    app.SaveReleaseSerial(100);
    EXPECT_EQ(123u, app.m_nReleaseSerial);
    EXPECT_EQ(123u, app.GetProfileInt("", "ReleaseSerial", 0));
}

} // namespace

#include <algorithm>
#include "ServerFixture.h"
#include "app/InstallerApp.h"
#include "app/MainFrame.h"
#include "app/Rooms.h"
#include "app/Resource.h"
#include "download/DownloadList.h"
#include "download/HttpTransfer.h"
#include <imagehlp.h>

namespace {

const int kSetupMinimum = 20971520;

template <class Condition>
bool WaitUntil(Condition done, DWORD ms)
{
    for (DWORD started = GetTickCount(); !done(); Sleep(20))
        if (GetTickCount() - started > ms)
            return false;
    return true;
}

std::string Component(const char* relative)
{
    return ReadBinaryFile(TestEnv("ZEMBRIO_TEST_COMPONENTS") + "\\" + relative);
}

// The download worker against the endpoint server, with an application
// object, a frame (no window unless a test makes one) and a run log.
class DownloadThreadTest : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        app.SetRegistryKey("Zembrio");
        app.m_strTempFolder = m_scratch.Path();
        app.OpenRunLog();
        app.m_bFreshStart = TRUE;
        app.m_pSession = m_pSession;   // the reports go out through it
        app.m_reporter.Start(m_pSession);
        frame = new CMainFrame(app.m_reporter);
        app.m_pMainWnd = frame;
        frame->m_pDownloads = NewList();
    }
    // The waits before new tries are the run's: a few milliseconds here.
    DownloadList* NewList()
    {
        DownloadList* list = new DownloadList(m_pSession);
        list->m_anRetryWaitsMs.assign(5, 20);
        return list;
    }
    void TearDown() override
    {
        delete frame;
        app.m_pMainWnd = nullptr;
        // The sender ends before the fixture's session goes.
        app.m_reporter.Stop(0);
        app.m_reporter.Join();
        app.m_pSession = nullptr;   // the fixture's, not the application's
        app.CloseRunLog();
        ServerTest::TearDown();
    }

    DownloadList& List() { return *frame->m_pDownloads; }
    // A new frame and empty list, as the next run (or the next way out) has.
    void NewFrame()
    {
        delete frame;
        frame = new CMainFrame(app.m_reporter);
        app.m_pMainWnd = frame;
        frame->m_pDownloads = NewList();
    }
    // The frame's window, in the download stage.
    void ShowDownloadStage()
    {
        RECT none = {0, 0, 10, 10};
        ASSERT_TRUE(frame->Create(nullptr, "download test", WS_POPUP, none));
        frame->m_nStage = 2;
    }
    // Starts the worker and waits until the first item has bytes; returns a
    // handle of the worker's thread that outlives the frame.
    HANDLE StartWorkerUntilBytesArrive(UINT bytes = 1)
    {
        EXPECT_TRUE(StartDownloadThread(frame));
        for (int i = 0; i < 400 && List().Item(0).m_nLocalSize < bytes; i++)
            Sleep(25);
        EXPECT_GE(List().Item(0).m_nLocalSize, bytes);
        HANDLE thread = nullptr;
        DuplicateHandle(GetCurrentProcess(), frame->m_pDownloadThread->m_hThread, GetCurrentProcess(), &thread,
                        SYNCHRONIZE, FALSE, 0);
        return thread;
    }
    void Add(const std::string& name, UINT knownSize = 0, int minimum = 0)
    {
        List().AddItem(Url(name), m_scratch.File(name), knownSize, minimum);
    }
    // Runs the worker to its end (a minute at most).
    void RunWorker()
    {
        ASSERT_TRUE(StartDownloadThread(frame));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(frame->m_pDownloadThread->m_hThread, 60000));
        EXPECT_EQ(nullptr, frame->m_hWorker.load());
    }
    // The values of the run log's lines of this name.
    std::vector<std::string> LogValues(const std::string& name)
    {
        std::vector<std::string> values;
        std::string log = "\r\n" + ReadBinaryFile(m_scratch.File("log.txt"));
        std::string key = "\r\n" + name + "=";
        for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1))
            values.push_back(log.substr(at + key.size(), log.find("\r\n", at + 2) - at - key.size()));
        return values;
    }
    std::vector<std::string> ErrorLines() { return LogValues("Error"); }

    RegistrySandbox registry;
    CInstallerApp app;
    CMainFrame* frame = nullptr;
};

TEST_F(DownloadThreadTest, FreshRunDownloadsRecordsTheItemsAndVerifies)
{
    std::string a = Pattern(50000, 20), b = Pattern(30000, 21);
    Serve("a.bin", a);
    Serve("b.bin", b);
    Add("a.bin");
    Add("b.bin");
    RunWorker();
    EXPECT_EQ(a, ReadBinaryFile(m_scratch.File("a.bin")));
    EXPECT_EQ(b, ReadBinaryFile(m_scratch.File("b.bin")));
    EXPECT_TRUE(List().SizesKnown());
    EXPECT_EQ(80000u, List().TotalLocalBytes());
    EXPECT_EQ(80000u, List().TotalServerBytes());
    EXPECT_TRUE(frame->DownloadsFinished());
    EXPECT_TRUE(ErrorLines().empty());
    ASSERT_EQ(2u, app.m_astrItemURL.size());
    EXPECT_EQ(Url("b.bin"), app.m_astrItemURL[1]);
    EXPECT_EQ(30000u, app.m_anItemSize[1]);
    EXPECT_EQ(2u, app.GetProfileInt("", "NumItems", 0));
    EXPECT_EQ(50000u, app.GetProfileInt("", "ItemSize0", 0));
}

// The first run is cancelled in the middle of the second file; the next run
// (a resumption with the recorded sizes) fetches only the missing tail.
TEST_F(DownloadThreadTest, SecondRunFetchesOnlyTheMissingTails)
{
    std::string a = Pattern(40000, 22), b = Pattern(300000, 23);
    Serve("a.bin", a);
    Serve("b.bin", b);
    Control("fault=slow=100000@b.bin");
    Add("a.bin");
    Add("b.bin");
    ASSERT_TRUE(StartDownloadThread(frame));
    for (int i = 0; i < 400 && List().Item(1).m_nLocalSize < 50000; i++)
        Sleep(25);
    frame->m_bCancel = true;
    List().CancelActiveTransfer();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(frame->m_pDownloadThread->m_hThread, 30000));
    EXPECT_EQ(nullptr, frame->m_hWorker.load());
    EXPECT_TRUE(ErrorLines().empty());   // a cancel is not reported
    EXPECT_TRUE(Events().empty());
    UINT partial = (UINT)ReadBinaryFile(m_scratch.File("b.bin")).size();
    ASSERT_GT(partial, 0u);
    ASSERT_LT(partial, b.size());
    // The server logs the cut request once it notices the client has gone.
    ASSERT_EQ(1u, RangedRequests("b.bin", 1).size());

    // The next run: a new frame and list, the sizes from the stored record.
    Control("reset=1");
    NewFrame();
    app.m_bFreshStart = FALSE;
    app.LoadState();
    Add("a.bin", app.RememberedItemSize(Url("a.bin")));
    Add("b.bin", app.RememberedItemSize(Url("b.bin")));
    EXPECT_EQ(300000u, List().Item(1).m_nKnownSize);
    size_t before = RangedRequests("b.bin").size();
    size_t beforeA = RangedRequests("a.bin").size();
    RunWorker();
    EXPECT_EQ(a, ReadBinaryFile(m_scratch.File("a.bin")));
    EXPECT_EQ(b, ReadBinaryFile(m_scratch.File("b.bin")));
    std::vector<LoggedRequest> ranged = RangedRequests("b.bin", before + 1);
    ASSERT_EQ(before + 1, ranged.size());
    EXPECT_EQ("bytes=" + std::to_string(partial) + "-299999", ranged.back().range);
    EXPECT_EQ((long long)(b.size() - partial), ranged.back().sent);
    EXPECT_EQ(beforeA, RangedRequests("a.bin").size());
    EXPECT_TRUE(frame->DownloadsFinished());
}

TEST_F(DownloadThreadTest, ChangedServerLengthDiscardsThePartialFile)
{
    std::string now = Pattern(5000, 24);
    Serve("changed.bin", now);
    WriteBinaryFile(m_scratch.File("changed.bin"), Pattern(1000, 25));   // of an older 4000-byte file
    app.m_bFreshStart = FALSE;
    Add("changed.bin", 4000);
    RunWorker();
    EXPECT_EQ(now, ReadBinaryFile(m_scratch.File("changed.bin")));
    std::vector<LoggedRequest> ranged = RangedRequests("changed.bin", 1);
    ASSERT_EQ(1u, ranged.size());
    EXPECT_EQ("bytes=0-4999", ranged[0].range);
    EXPECT_EQ(5000u, List().Item(0).m_nKnownSize);

    // A stale copy that cannot be deleted (another program holds it) is a
    // file error: the new file's tail must not be appended to its bytes.
    std::string old = Pattern(1000, 26);
    Serve("held.bin", now);
    WriteBinaryFile(m_scratch.File("held.bin"), old);
    HANDLE held = CreateFileA(m_scratch.File("held.bin").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    NewFrame();
    Add("held.bin", 4000);
    RunWorker();
    CloseHandle(held);
    EXPECT_TRUE(ReadBinaryFile(m_scratch.File("held.bin")) == old);
    EXPECT_TRUE(RangedRequests("held.bin").empty());
    EXPECT_EQ(std::vector<std::string>{"fileio,ThreadControl,FileIOError"}, ErrorLines());
}

// A cancel that comes while no transfer runs (before the first, between two
// items) holds for every later transfer.
TEST_F(DownloadThreadTest, CancelWithNoTransferRunningIsNotLost)
{
    Serve("late.bin", Pattern(40000, 34));
    Add("late.bin");
    ASSERT_EQ(NoError, List().QueryAllSizes(true));
    List().CancelActiveTransfer();
    EXPECT_EQ(DownloadCancelled, List().DownloadMissing());
    EXPECT_EQ(DownloadCancelled, List().QueryAllSizes(true));
    EXPECT_FALSE(FileExists(m_scratch.File("late.bin")));
    EXPECT_TRUE(RangedRequests("late.bin").empty());
}

TEST_F(DownloadThreadTest, NoLengthOrAnErrorPageStopsAtTheSizeQueryAndKeepsPartialFiles)
{
    std::string second = Pattern(3000, 27);
    Serve("first.bin", Pattern(3000, 26));
    Serve("second.bin", second);
    // An error page (or a captive portal's) brings a length of its own.
    // The server's own trouble (5xx) is tried again until the waits are
    // spent; an answer it meant is not.
    const struct {
        const char* fault;
        size_t tries;
    } cases[] = {{"no-length", 1}, {"status=503", 6}, {"status=404", 1}};
    for (const auto& c : cases) {
        const char* fault = c.fault;
        SCOPED_TRACE(fault);
        size_t asked = Requests("second.bin").size(), retries = LogValues("Retry").size();
        NewFrame();
        Control("reset=1");
        Control(std::string("fault=") + fault + "@second.bin");
        WriteBinaryFile(m_scratch.File("second.bin"), second.substr(0, 1000));
        app.m_bFreshStart = FALSE;   // resumed: the partial file is the record's
        Add("first.bin");
        Add("second.bin", 3000);
        size_t reported = ErrorLines().size();
        RunWorker();
        ASSERT_EQ(reported + 1, ErrorLines().size());
        EXPECT_EQ("network,ThreadControl,NetworkError", ErrorLines().back());
        EXPECT_EQ(second.substr(0, 1000), ReadBinaryFile(m_scratch.File("second.bin")));
        EXPECT_EQ(3000u, List().Item(1).m_nKnownSize);
        EXPECT_TRUE(RangedRequests("first.bin").empty());
        EXPECT_FALSE(FileExists(m_scratch.File("first.bin")));
        EXPECT_FALSE(List().SizesKnown());
        EXPECT_TRUE(frame->m_bFailed);
        EXPECT_FALSE(frame->DownloadsFinished());
        EXPECT_EQ(app.m_reporter.ErrorPageUrl("network"), frame->ErrorLink());
        EXPECT_EQ(asked + c.tries, Requests("second.bin", asked + c.tries).size());
        EXPECT_EQ(retries + c.tries - 1, LogValues("Retry").size());
    }
}

// A transfer that fails for the network is tried again from the byte where
// it stopped; a try that brings a good part of the file starts the waits
// afresh, so a connection that keeps dropping still gets the file through,
// while a server that gives less and less is given up on.
TEST_F(DownloadThreadTest, NetworkFailuresAreTriedAgainFromWhereTheyStopped)
{
    const struct {
        const char* fault;
        size_t size;
        size_t ranged;   // ranged requests made
        bool completes;
    } cases[] = {
        {"short-body=300000", 2000000, 7, true},    // more tries than waits: each one counts afresh
        {"short-body=100000", 1000000, 6, false},   // six tries of 100000 bytes, then the failure stands
        {"status-range=503", 50000, 6, false},
        {"status-range=416", 50000, 1, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        std::string name = "retried" + std::to_string(n) + ".bin";
        std::string content = Pattern(c.size, 60 + n++);
        Serve(name, content);
        NewFrame();
        Control("reset=1");
        Control(std::string("fault=") + c.fault + "@" + name);
        Add(name);
        size_t reported = ErrorLines().size();
        RunWorker();
        std::vector<LoggedRequest> ranged = RangedRequests(name, c.ranged);
        ASSERT_EQ(c.ranged, ranged.size());
        std::string got = ReadBinaryFile(m_scratch.File(name));
        EXPECT_TRUE(content.compare(0, got.size(), got) == 0) << "bytes that are not the file's";
        if (c.fault[0] == 's' && c.fault[1] == 'h') {
            // Each try asks for exactly what the file still lacks.
            for (size_t i = 0; i < ranged.size(); i++)
                EXPECT_EQ("bytes=" + std::to_string(i * (c.size == 2000000 ? 300000 : 100000)) + "-" +
                              std::to_string(c.size - 1),
                          ranged[i].range);
        }
        if (c.completes) {
            EXPECT_EQ(content, got);
            EXPECT_EQ(reported, ErrorLines().size());
            EXPECT_TRUE(frame->DownloadsFinished());
        } else {
            ASSERT_EQ(reported + 1, ErrorLines().size());
            EXPECT_EQ("network,ThreadControl,NetworkError", ErrorLines().back());
            EXPECT_FALSE(frame->DownloadsFinished());
        }
    }
}

// A server that comes back while the worker waits: the next try completes
// the run with no report. A cancel ends a wait at once.
TEST_F(DownloadThreadTest, AServerBackInTimeCompletesAndCancelEndsAWait)
{
    std::string content = Pattern(200000, 70);
    Serve("back.bin", content);
    Control("reset=1");
    Control("fault=drop@back.bin");
    Add("back.bin");
    List().m_anRetryWaitsMs.assign(5, 500);
    ASSERT_TRUE(StartDownloadThread(frame));
    ASSERT_TRUE(WaitUntil([&] { return !LogValues("Retry").empty(); }, 10000));
    Control("reset=1");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(frame->m_pDownloadThread->m_hThread, 20000));
    EXPECT_TRUE(frame->DownloadsFinished());
    EXPECT_EQ(content, ReadBinaryFile(m_scratch.File("back.bin")));
    EXPECT_TRUE(ErrorLines().empty());
    EXPECT_FALSE(List().Reconnecting());

    DeleteFileA(m_scratch.File("back.bin").c_str());
    NewFrame();
    Control("fault=drop@back.bin");
    Add("back.bin");
    List().m_anRetryWaitsMs.assign(5, 60000);
    ASSERT_TRUE(StartDownloadThread(frame));
    DWORD left = 0;
    ASSERT_TRUE(WaitUntil([&] { return List().WaitingToRetry(GetTickCount(), left); }, 10000));
    EXPECT_GT(left, 50000u);
    EXPECT_TRUE(List().Reconnecting());
    DWORD started = GetTickCount();
    frame->CancelWorkers();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(frame->m_pDownloadThread->m_hThread, 5000));
    EXPECT_LT(GetTickCount() - started, 1000u);
    EXPECT_FALSE(List().WaitingToRetry(GetTickCount(), left));
    EXPECT_TRUE(ErrorLines().empty());
}

// Each fault of the install server in the middle of a fresh run: one named
// error, the stage never moves on, no byte in a file that is not the file's
// own; then, the fault gone, the next run (from the stored record) completes
// both files exactly, fetching only what is missing.
TEST_F(DownloadThreadTest, ServerFaultsEndNamedAndTheNextRunCompletesTheFiles)
{
    const std::string network = "network,ThreadControl,NetworkError";
    const struct {
        const char* fault;
        std::vector<std::string> errors;   // any one of them; none: the run completes
        bool partial;                      // bytes of the file may be kept
    } cases[] = {
        {"no-length", {network}, false},
        {"short-body", {network}, true},   // the connection's fault, not the disk's
        {"ignore-range", {}, false},   // the whole file is sound
        {"range-shift", {network}, false},
        {"status=503", {network}, false},
        {"status-range=500", {network}, false},
        // A connection that goes silent fails as a lost one (at the receive
        // time-out on Windows; Wine's read ends when the server gives up,
        // the launcher's --stall-seconds): each new try brings the next
        // 100000 bytes, and the third completes the file.
        {"stall=100000", {}, true},
        {"drop", {network}, false},
    };
    std::string first = Pattern(40000, 40);
    Serve("first.bin", first);
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        std::string name = "faulty" + std::to_string(n) + ".bin";
        std::string content = Pattern(300000, 41 + n++);
        Serve(name, content);
        DeleteFileA(m_scratch.File("first.bin").c_str());
        // A fresh start: no record of an earlier one.
        app.m_astrItemURL.clear();
        app.m_anItemSize.clear();
        app.SaveProgressState();
        app.m_bFreshStart = TRUE;
        NewFrame();
        Control("reset=1");
        Control(std::string("fault=") + c.fault + "@" + name);
        Add("first.bin");
        Add(name);
        size_t reported = ErrorLines().size();
        RunWorker();
        std::string got = ReadBinaryFile(m_scratch.File(name));
        EXPECT_TRUE(content.compare(0, got.size(), got) == 0) << "bytes that are not the file's";
        if (c.errors.empty()) {
            EXPECT_EQ(content, got);
            EXPECT_EQ(reported, ErrorLines().size());
            EXPECT_TRUE(frame->DownloadsFinished());
            continue;
        }
        ASSERT_EQ(reported + 1, ErrorLines().size());
        EXPECT_NE(c.errors.end(), std::find(c.errors.begin(), c.errors.end(), ErrorLines().back()))
            << ErrorLines().back();
        EXPECT_TRUE(frame->m_bFailed);
        EXPECT_FALSE(frame->DownloadsFinished());
        if (!c.partial) {
            EXPECT_EQ("", got);
        }

        // The next run, the fault gone.
        Control("reset=1");
        NewFrame();
        app.m_bFreshStart = FALSE;
        app.LoadState();
        Add("first.bin", app.RememberedItemSize(Url("first.bin")));
        Add(name, app.RememberedItemSize(Url(name)));
        size_t before = RangedRequests(name).size();
        RunWorker();
        EXPECT_EQ(reported + 1, ErrorLines().size());
        EXPECT_TRUE(frame->DownloadsFinished());
        EXPECT_EQ(first, ReadBinaryFile(m_scratch.File("first.bin")));
        EXPECT_TRUE(content == ReadBinaryFile(m_scratch.File(name)));
        std::vector<LoggedRequest> ranged = RangedRequests(name, before + 1);
        ASSERT_EQ(before + 1, ranged.size());
        EXPECT_EQ("bytes=" + std::to_string(got.size()) + "-299999", ranged.back().range);
    }
}

TEST_F(DownloadThreadTest, RefusalsAreReportedAndOnlyARefusedFileGoes)
{
    const std::string small = Component("components-broken\\setup_small.exe");
    ASSERT_EQ((size_t)kSetupMinimum - 1, small.size());
    const std::string good = Pattern(300000, 7);
    std::string other = good;
    other[123456] ^= 1;
    enum Setup { AsServed, NoRelease, ForeignKey, SeenNewer, Unlisted, ServedLonger, OtherBytes };
    const struct {
        Setup setup;
        const char* error;
        bool kept;            // the partial copy of the file stays for the next run
        const char* refused;  // in the run log's Refused line; none: no line
    } cases[] = {
        {AsServed, "network,ThreadControl,FileTooSmall", false, nullptr},
        // The release cannot be had or trusted: no file is judged, every
        // partial one stays.
        {NoRelease, "network,ThreadControl,BadRelease", true, "release.txt: HTTP 404"},
        {ForeignKey, "network,ThreadControl,BadRelease", true, "release.txt: signature by no built-in key"},
        {SeenNewer, "network,ThreadControl,BadRelease", true, "release.txt: serial 100 below 101"},
        {Unlisted, "network,ThreadControl,BadRelease", true, "lists no payload.bin"},
        // The file is not the released one: refused before a byte of it is
        // read, or deleted once it is whole.
        {ServedLonger, "network,ThreadControl,NotAsReleased", true, "served with 300001 bytes, the release lists 300000"},
        {OtherBytes, "network,ThreadControl,NotAsReleased", false, ": SHA-256 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refused ? c.refused : c.error);
        NewFrame();
        Control("reset=1");
        DeleteFileA((m_strRoot + "\\release.txt").c_str());
        DeleteFileA((m_strRoot + "\\payload.bin").c_str());
        app.m_nReleaseSerial = c.setup == SeenNewer ? 101 : 0;
        size_t reported = ErrorLines().size(), refusals = LogValues("Refused").size();
        std::string name = c.setup == AsServed ? "setup.exe" : "payload.bin";
        if (c.setup == AsServed) {
            Serve(name, small);
            DeleteFileA(m_scratch.File(name).c_str());
            Add(name, 0, kSetupMinimum);
        } else {
            if (c.setup == Unlisted)
                PinRelease();
            Serve(name, good);
            if (c.setup == ServedLonger || c.setup == OtherBytes) {
                PinRelease();
                Serve(name, c.setup == ServedLonger ? good + "x" : other);
            }
            Control(c.setup == NoRelease ? "release-key=none" : c.setup == ForeignKey ? "release-key=foreign" : "");
            // Half of it from an earlier run, unless the file itself is
            // to be refused whole.
            if (c.setup != OtherBytes)
                WriteBinaryFile(m_scratch.File(name), good.substr(0, 150000));
            else
                DeleteFileA(m_scratch.File(name).c_str());
            Add(name, (UINT)good.size());
        }
        RunWorker();
        EXPECT_EQ(c.kept, FileExists(m_scratch.File(name)));
        ASSERT_EQ(reported + 1, ErrorLines().size());
        EXPECT_EQ(c.error, ErrorLines().back());
        // The operators' reason: the file and why.
        std::vector<std::string> refused = LogValues("Refused");
        ASSERT_EQ(refusals + (c.refused ? 1 : 0), refused.size());
        if (c.refused) {
            EXPECT_NE(std::string::npos, refused.back().find(c.refused)) << refused.back();
        }
        EXPECT_FALSE(frame->DownloadsFinished());
    }
    app.m_nReleaseSerial = 0;
}

TEST_F(DownloadThreadTest, AnAcceptedReleaseIsKeptAndItsSerialRemembered)
{
    Serve("payload.bin", Pattern(1000, 3));
    Control("release-serial=123");
    app.m_nReleaseSerial = 0;
    Add("payload.bin");
    // A name planted in the working folder beforehand, linked to another
    // file of the machine: the release is written as a file of its own,
    // never through the link.
    std::string victim = m_scratch.File("victim.txt");
    WriteBinaryFile(victim, "someone else's file");
    ASSERT_TRUE(CreateHardLinkA(m_scratch.File("release.txt").c_str(), victim.c_str(), nullptr));
    RunWorker();
    EXPECT_EQ("someone else's file", ReadBinaryFile(victim));
    EXPECT_TRUE(ErrorLines().empty());
    EXPECT_EQ(123u, app.m_nReleaseSerial);
    EXPECT_EQ(123u, app.GetProfileInt("", "ReleaseSerial", 0));
    // What the installation step checks again: the very text accepted.
    std::string kept = ReadBinaryFile(m_scratch.File("release.txt"));
    EXPECT_EQ(0u, kept.find("zembrio-release 1\nserial 123\n")) << kept;
    // A lower serial never overwrites it.
    app.SaveReleaseSerial(100);
    EXPECT_EQ(123u, app.GetProfileInt("", "ReleaseSerial", 0));
    app.WriteProfileInt("", "ReleaseSerial", 0);
    app.m_nReleaseSerial = 0;
}

TEST_F(DownloadThreadTest, NoListIsAGeneralError)
{
    delete frame->m_pDownloads;
    frame->m_pDownloads = nullptr;
    RunWorker();
    EXPECT_EQ(std::vector<std::string>{"general,"}, ErrorLines());
    EXPECT_TRUE(frame->m_bFailed);
}

// Every way out during a download stops the worker at once (the window's
// end waits for it), without an error report; the frame goes only after
// the worker has ended for good.
TEST_F(DownloadThreadTest, EveryWayOutStopsTheDownloadPromptly)
{
    Serve("big.bin", Pattern(2000000, 28));
    struct Case {
        const char* what;
        void (*leave)(CMainFrame*& frame);
    } cases[] = {
        {"Cancel", [](CMainFrame*& f) { SendMessageA(f->m_hWnd, WM_COMMAND, MAKEWPARAM(ID_CANCEL, BN_CLICKED), 0); }},
        {"Close", [](CMainFrame*& f) { SendMessageA(f->m_hWnd, WM_COMMAND, MAKEWPARAM(ID_CLOSE, BN_CLICKED), 0); }},
        {"end of the session", [](CMainFrame*& f) { EXPECT_EQ(TRUE, SendMessageA(f->m_hWnd, WM_QUERYENDSESSION, 0, 0)); }},
        {"window destroyed", [](CMainFrame*& f) {
             delete f;
             f = nullptr;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Control("fault=slow=200000@big.bin");
        DeleteFileA(m_scratch.File("big.bin").c_str());
        NewFrame();
        Add("big.bin");
        ShowDownloadStage();
        HANDLE thread = StartWorkerUntilBytesArrive();
        DWORD started = GetTickCount();
        c.leave(frame);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
        EXPECT_LT(GetTickCount() - started, 1000u);   // a chunk takes 80 ms
        CloseHandle(thread);
        MSG quit;
        while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        EXPECT_TRUE(ErrorLines().empty());
        EXPECT_LT(ReadBinaryFile(m_scratch.File("big.bin")).size(), 2000000u);
    }
}

// The exit stops the worker before it saves the record, and ends within its
// bound even on a server that stops sending in the middle of a file, where
// closing the request may not end the read in progress (it does on Windows;
// Wine finishes the read when the server gives up).
TEST_F(DownloadThreadTest, ExitStopsTheWorkerWithinItsBound)
{
    Serve("exit.bin", Pattern(2000000, 35));
    const char* faults[] = {"slow=200000", "stall=40000"};
    for (const char* fault : faults) {
        SCOPED_TRACE(fault);
        Control(std::string("fault=") + fault + "@exit.bin");
        DeleteFileA(m_scratch.File("exit.bin").c_str());
        NewFrame();
        Add("exit.bin");
        app.m_bStateLoaded = true;
        HANDLE thread = StartWorkerUntilBytesArrive(16384);
        Sleep(200);   // the stalled read is waiting now
        DWORD started = GetTickCount();
        app.ExitInstance();
        EXPECT_LT(GetTickCount() - started, CMainFrame::kWorkerStopMs + 500);
        // Whatever the worker did, the record holds the item.
        EXPECT_EQ(1u, app.GetProfileInt("", "NumItems", 0));
        EXPECT_EQ(Url("exit.bin"), app.GetProfileString("", "ItemURL0"));
        EXPECT_EQ(2000000u, app.GetProfileInt("", "ItemSize0", 0));
        // A worker left running keeps its frame; it ends once the server
        // gives up, and the frame is the test's to delete then.
        bool ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
        CloseHandle(thread);
        if (ended)
            frame = nullptr;
        app.m_pMainWnd = frame;
        app.OpenRunLog();
        EXPECT_TRUE(ErrorLines().empty());
    }
}

// Command 32780 while the downloads run (stage 2 again) leaves the running
// worker its list and stays the only download worker.
TEST_F(DownloadThreadTest, StageTwoAgainLeavesTheRunningWorkerAlone)
{
    std::string content = Pattern(1000000, 36);
    Serve("again.bin", content);
    Control("fault=slow=500000@again.bin");
    Add("again.bin");
    ShowDownloadStage();
    // What stage 2 needs to get as far as the download list on a resumption.
    app.m_bFreshStart = FALSE;
    app.m_astrShellFolder[FolderWindowsSystem] = m_scratch.Path();
    HANDLE thread = StartWorkerUntilBytesArrive();
    DownloadList* list = frame->m_pDownloads;
    CWinThread* worker = frame->m_pDownloadThread;
    SendMessageA(frame->m_hWnd, WM_COMMAND, MAKEWPARAM(ID_AUTO_START_COMMAND, BN_CLICKED), 0);
    EXPECT_EQ(list, frame->m_pDownloads);
    EXPECT_EQ(worker, frame->m_pDownloadThread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    CloseHandle(thread);
    EXPECT_EQ(content, ReadBinaryFile(m_scratch.File("again.bin")));
    EXPECT_TRUE(ErrorLines().empty());
}

// Verification, on the padded stand-ins.
class VerifyTest : public ::testing::Test {
protected:
    std::string Place(const char* component, const std::string& name)
    {
        std::string path = m_scratch.File(name);
        std::string bytes = Component(component);
        EXPECT_FALSE(bytes.empty()) << component;
        WriteBinaryFile(path, bytes);
        return path;
    }
    // The item as a release lists it: the size and digest of its bytes now.
    static void AsReleased(DownloadItem& item)
    {
        std::string bytes = ReadBinaryFile(item.m_strLocalPath);
        item.m_bReleased = true;
        item.m_nReleasedSize = (UINT)bytes.size();
        item.m_releasedHash = Sha256(bytes.data(), bytes.size());
    }
    DownloadError VerifyOne(const std::string& path, int minimum = kSetupMinimum)
    {
        DownloadList list;
        list.AddItem("http://127.0.0.1/x", path, 0, minimum);
        AsReleased(list.Item(0));
        return list.VerifyAll(true);
    }
    ScratchFolder m_scratch;
};

TEST_F(VerifyTest, SizeAndChecksumDecideAndBadFilesGo)
{
    std::string good = Place("components\\setup.exe", "setup.exe");
    const int size = (int)Component("components\\setup.exe").size();
    EXPECT_EQ(NoError, VerifyOne(good, size));   // exactly the minimum passes
    EXPECT_EQ(FileTooSmall, VerifyOne(good, size + 1));
    EXPECT_FALSE(FileExists(good));
    EXPECT_EQ(FileNotFound, VerifyOne(good));

    std::string zero = Place("components-broken\\setup_zerosum.exe", "zero.exe");
    EXPECT_EQ(BadChecksum, VerifyOne(zero));
    EXPECT_FALSE(FileExists(zero));
    std::string wrong = Place("components-broken\\setup_badsum.exe", "wrong.EXE");
    EXPECT_EQ(BadChecksum, VerifyOne(wrong));
    std::string backup = Place("components-broken\\setup_badsum.exe", "setup.exe.bak");
    EXPECT_EQ(NoError, VerifyOne(backup));
    EXPECT_TRUE(FileExists(backup));

    // Items are checked in order and the first failure ends the check.
    DownloadList list;
    list.AddItem("u", Place("components-broken\\setup_small.exe", "s.exe"), 0, kSetupMinimum);
    list.AddItem("u", Place("components-broken\\setup_zerosum.exe", "z.exe"), 0, kSetupMinimum);
    AsReleased(list.Item(0));
    AsReleased(list.Item(1));
    EXPECT_EQ(FileTooSmall, list.VerifyAll(false));
    EXPECT_TRUE(FileExists(m_scratch.File("s.exe")));
    EXPECT_EQ(NoError, DownloadList().VerifyAll(true));
}

TEST_F(VerifyTest, OnlyTheReleasedBytesPassAndRefusedFilesGo)
{
    enum Change { None, NotReleased, ListedLonger, ListedOtherDigest, ChangedAfter };
    const struct {
        const char* component;
        Change change;
        DownloadError expected;
        const char* reason;   // in the refusal's detail
    } cases[] = {
        {"components\\setup.exe", None, NoError, ""},
        {"components\\installhelper.exe", None, NoError, ""},
        // Another maker's program, as it ships, is trusted for its digest.
        {"components-broken\\setup_unsigned.exe", None, NoError, ""},
        {"components\\setup.exe", NotReleased, NotAsReleased, ": not in an accepted release"},
        {"components\\setup.exe", ListedLonger, NotAsReleased, " bytes, the release lists "},
        {"components\\setup.exe", ListedOtherDigest, NotAsReleased, ": SHA-256 "},
        // Changed in its last byte after the release was made, header
        // checksum made right again.
        {"components-broken\\setup_altered.exe", ChangedAfter, NotAsReleased, ": SHA-256 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.component);
        std::string path = Place(c.component, "component.exe");
        DownloadList list;
        list.AddItem("http://127.0.0.1/x", path, 0, 10240);
        DownloadItem& item = list.Item(0);
        if (c.change == ChangedAfter) {
            // Released as the intact file was.
            WriteBinaryFile(path, Component("components\\setup.exe"));
            AsReleased(item);
            Place(c.component, "component.exe");
        } else if (c.change != NotReleased) {
            AsReleased(item);
        }
        if (c.change == ListedLonger)
            item.m_nReleasedSize++;
        if (c.change == ListedOtherDigest)
            item.m_releasedHash.bytes[31] ^= 0x80;
        EXPECT_EQ(c.expected, list.VerifyAll(true));
        EXPECT_EQ(c.expected == NoError, FileExists(path));
        EXPECT_NE(std::string::npos, list.m_strRefusal.find(c.reason)) << list.m_strRefusal;
        list.ReleaseVerified();
        DeleteFileA(path.c_str());
    }
}

TEST_F(VerifyTest, VerifiedFilesCannotBeChangedUntilReleased)
{
    std::string helper = Place("components\\installhelper.exe", "installhelper.exe");
    std::string setup = Place("components\\setup.exe", "setup.exe");
    DownloadList list;
    list.AddItem("u", helper, 0, 10240);
    list.AddItem("u", setup, 0, kSetupMinimum);
    AsReleased(list.Item(0));
    AsReleased(list.Item(1));
    ASSERT_EQ(NoError, list.VerifyAll(true));
    for (const std::string& path : {helper, setup}) {
        SCOPED_TRACE(path);
        HANDLE write = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(INVALID_HANDLE_VALUE, write);
        EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
        if (write != INVALID_HANDLE_VALUE)
            CloseHandle(write);
        EXPECT_FALSE(DeleteFileA(path.c_str()));
        EXPECT_FALSE(MoveFileA(path.c_str(), (path + ".moved").c_str()));
        HANDLE read = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, read);   // the helper must still run it
        CloseHandle(read);
    }
    // A failed check lets go of the files verified before it.
    std::string refused = Place("components-broken\\setup_unsigned.exe", "unsigned.exe");
    list.AddItem("u", refused, 0, kSetupMinimum);
    EXPECT_EQ(NotAsReleased, list.VerifyAll(true));
    EXPECT_TRUE(DeleteFileA(helper.c_str()));
    EXPECT_TRUE(DeleteFileA(setup.c_str()));
}

TEST_F(VerifyTest, HeaderChecksumAgreesWithTheImageHelpLibrary)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string badsum = Place("components-broken\\setup_badsum.exe", "badsum.exe");
    // Odd and even lengths, a signed and an unsigned file, one made by the
    // linker, a wrong sum.
    for (const std::string& path : {Place("components-broken\\setup_unsigned.exe", "odd.exe"),
                                     Place("components\\setup.exe", "signed.exe"), std::string(self), badsum}) {
        SCOPED_TRACE(path);
        DWORD expectedHeader = 0, expectedSum = 0, header = 1, sum = 1;
        ASSERT_EQ((DWORD)CHECKSUM_SUCCESS, MapFileAndCheckSumA(path.c_str(), &expectedHeader, &expectedSum));
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        EXPECT_TRUE(ComputeHeaderChecksum(file, header, sum));
        CloseHandle(file);
        EXPECT_EQ(expectedHeader, header);
        EXPECT_EQ(expectedSum, sum);
    }
    // Shorter than its own header says: no sum, and so no trust.
    std::string bytes = ReadBinaryFile(badsum);
    std::string cut = m_scratch.File("cut.exe");
    WriteBinaryFile(cut, bytes.substr(0, 0x80));
    HANDLE file = CreateFileA(cut.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD header, sum;
    EXPECT_FALSE(ComputeHeaderChecksum(file, header, sum));
    CloseHandle(file);
}

TEST_F(VerifyTest, UnreadableExecutableIsBadChecksum)
{
    std::string good = Place("components\\setup.exe", "locked.exe");
    HANDLE lock = CreateFileA(good.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    EXPECT_EQ(BadChecksum, VerifyOne(good));
    CloseHandle(lock);
}

TEST(DownloadListTest, ProgressBeforeAndAfterSizesAreKnown)
{
    DownloadList list;
    EXPECT_TRUE(list.AllComplete());
    EXPECT_EQ(0u, list.TotalServerBytes());
    list.AddItem("u1", "p1", 0, 0);
    list.AddItem("u2", "p2", 0, 0);
    EXPECT_TRUE(list.AllComplete());   // unknown sizes count as complete
    EXPECT_FALSE(list.SizesKnown());
    list.Item(0).m_nServerSize = 100;
    list.Item(1).m_nServerSize = 50;
    list.Item(1).m_nLocalSize = 70;   // longer than the server's: complete
    EXPECT_FALSE(list.AllComplete());
    list.Item(0).m_nLocalSize = 100;
    EXPECT_TRUE(list.AllComplete());
    EXPECT_EQ(150u, list.TotalServerBytes());
    EXPECT_EQ(170u, list.TotalLocalBytes());
}

} // namespace

#include "support/RoomFixture.h"
#include <memory>
#include "ServerFixture.h"
#include "download/DownloadList.h"
#include "ReleaseKeys.h"
#include <imagehlp.h>

namespace {

const int kSetupMinimum = 20971520;
const char* const kNetworkError = "network,ThreadControl,NetworkError";

std::string Component(const char* relative)
{
    return ReadBinaryFile(TestEnv("ZEMBRIO_TEST_COMPONENTS") + "\\" + relative);
}

// The record as the worker sees it: the sizes of an earlier run, and what
// this run learns, for the next.
struct KeptRecord : CItemSizes, CDownloadRecord {
    UINT RememberedItemSize(const std::string& url) const override
    {
        for (size_t i = 0; i < urls.size(); i++)
            if (_stricmp(urls[i].c_str(), url.c_str()) == 0)
                return sizes[i];
        return 0;
    }
    void SaveReleaseSerial(DWORD value) override { serial = value; }
    void RecordItems(const DownloadList& list) override
    {
        urls.clear();
        sizes.clear();
        for (UINT i = 0; i < list.ItemCount(); i++) {
            urls.push_back(list.ItemUrl(i));
            sizes.push_back(list.ItemServerSize(i));
        }
    }
    std::vector<std::string> urls;
    std::vector<UINT> sizes;
    DWORD serial = 0;
};

// The download worker's job against the endpoint server, with what a room
// is handed (run log, reporter, a recording failure sink) and a kept record.
class DownloadJobTest : public RoomFixture, public EndpointServer {
protected:
    void SetUp() override
    {
        RoomFixture::SetUp();
        Open();
        for (const auto& key : kReleaseKeys)
            keys.push_back({key.modulus, key.length});
        NewList();
    }
    void TearDown() override
    {
        if (worker) {
            Cancel();
            WaitForSingleObject(worker, INFINITE);
            CloseHandle(worker);
        }
        list.reset();
        Close();
        RoomFixture::TearDown();
    }
    // The next run's list (the record stays); its waits before new tries
    // are a few milliseconds.
    void NewList()
    {
        list.reset(new DownloadList(m_pSession));
        list->m_anRetryWaitsMs.assign(5, 20);
        cancel = false;
        failures = RecordedFailures();   // the next run's window
    }
    // With the size the record holds for it, as the task planning adds it.
    void Add(const std::string& name, int minimum = 0)
    {
        list->AddItem(Url(name), scratch.File(name), record.RememberedItemSize(Url(name)), minimum);
    }
    DownloadJob Job()
    {
        return DownloadJob{reports, record,      list.get(), cancel, Url("release.txt"), scratch.File("release.txt"),
                           keys.data(), keys.size(), minimumSerial};
    }
    void Run()
    {
        DownloadJob job = Job();
        RunDownloads(job);
    }
    // On a thread of its own, as the application runs it.
    void Start()
    {
        job.reset(new DownloadJob(Job()));
        worker = CreateThread(nullptr, 0, RunJob, job.get(), 0, nullptr);
        ASSERT_NE(nullptr, worker);
    }
    bool Ended(DWORD ms) { return WaitForSingleObject(worker, ms) == WAIT_OBJECT_0; }
    // What each of the window's ways out does to the worker.
    void Cancel()
    {
        cancel = true;
        list->CancelActiveTransfer();
    }
    bool Finished() const { return list->AllComplete() && list->SizesKnown() && failures.failed == 0; }
    std::vector<std::string> LogValues(const std::string& name) const
    {
        std::vector<std::string> values;
        for (const auto& entry : Log())
            if (entry.first == name)
                values.push_back(entry.second);
        return values;
    }
    std::vector<std::string> Errors() const { return LogValues("Error"); }

    KeptRecord record;
    std::unique_ptr<DownloadList> list;
    std::atomic<bool> cancel{false};
    std::vector<ReleaseKey> keys;
    DWORD minimumSerial = 1;
    std::unique_ptr<DownloadJob> job;
    HANDLE worker = nullptr;

private:
    static DWORD WINAPI RunJob(void* job)
    {
        RunDownloads(*(DownloadJob*)job);
        return 0;
    }
};

// A fresh run, cancelled in the middle of its second file, then the next
// run from the record: only the missing tail is fetched.
TEST_F(DownloadJobTest, AFreshRunCancelledMidFileResumesWithOnlyTheMissingTail)
{
    std::string a = Pattern(40000, 22), b = Pattern(300000, 23);
    Serve("a.bin", a);
    Serve("b.bin", b);
    Control("release-serial=123");
    Control("fault=slow=100000@b.bin");
    // A name planted in the working folder beforehand, linked to another
    // file of the machine: the release is written as a file of its own,
    // never through the link.
    std::string victim = scratch.File("victim.txt");
    WriteBinaryFile(victim, "someone else's file");
    ASSERT_TRUE(CreateHardLinkA(scratch.File("release.txt").c_str(), victim.c_str(), nullptr));
    Add("a.bin");
    Add("b.bin");
    Start();
    ASSERT_TRUE(WaitUntil([&] { return list->Item(1).m_nLocalSize >= 50000; }, 10000));
    DWORD started = GetTickCount();
    Cancel();
    ASSERT_TRUE(Ended(10000));
    EXPECT_LT(GetTickCount() - started, 1000u);   // a chunk takes 80 ms
    EXPECT_TRUE(Errors().empty());   // a cancel is not reported
    EXPECT_EQ(0, failures.failed);
    EXPECT_TRUE(Sent().empty());
    // What the run learnt before the cancel.
    EXPECT_EQ((std::vector<std::string>{Url("a.bin"), Url("b.bin")}), record.urls);
    EXPECT_EQ((std::vector<UINT>{40000, 300000}), record.sizes);
    EXPECT_EQ(340000u, list->TotalServerBytes());
    EXPECT_EQ(123u, record.serial);
    EXPECT_EQ("someone else's file", ReadBinaryFile(victim));
    // What the installation step checks again: the very text accepted.
    std::string kept = ReadBinaryFile(scratch.File("release.txt"));
    EXPECT_EQ(0u, kept.find("zembrio-release 1\nserial 123\n")) << kept;
    EXPECT_EQ(a, ReadBinaryFile(scratch.File("a.bin")));
    UINT partial = (UINT)ReadBinaryFile(scratch.File("b.bin")).size();
    ASSERT_GT(partial, 0u);
    ASSERT_LT(partial, b.size());
    // The server logs the cut request once it notices the client has gone.
    ASSERT_EQ(1u, RangedRequests("b.bin", 1).size());
    CloseHandle(worker);
    worker = nullptr;

    Control("reset=1");
    NewList();
    Add("a.bin");
    Add("b.bin");
    EXPECT_EQ(300000u, list->Item(1).m_nKnownSize);
    size_t beforeA = RangedRequests("a.bin").size();
    Run();
    EXPECT_EQ(a, ReadBinaryFile(scratch.File("a.bin")));
    EXPECT_EQ(b, ReadBinaryFile(scratch.File("b.bin")));
    std::vector<LoggedRequest> ranged = RangedRequests("b.bin", 2);
    ASSERT_EQ(2u, ranged.size());
    EXPECT_EQ("bytes=" + std::to_string(partial) + "-299999", ranged.back().range);
    EXPECT_EQ((long long)(b.size() - partial), ranged.back().sent);
    EXPECT_EQ(beforeA, RangedRequests("a.bin").size());
    EXPECT_EQ(340000u, list->TotalLocalBytes());
    EXPECT_TRUE(Finished());
    EXPECT_TRUE(Errors().empty());
}

// Each fault of the install server, of the release or of a file, in one
// run of two files (first.bin, then the faulty one): at most one named
// error, no byte on disk that is not the file's own, a partial file kept
// for the next run unless the file itself is refused; then, where a row
// says so, the next run (fault gone, sizes from the record) completes both
// files, fetching only what is missing.
TEST_F(DownloadJobTest, TransferFaultsEndNamedKeepWhatIsSoundAndTheNextRunCompletes)
{
    // What is on disk before the run: nothing; the first half, of a size
    // the record holds; 1000 bytes of an older 4000-byte file (the record's
    // size), also held open by another program.
    enum Before { Fresh, Resumed, Stale, StaleHeld };
    // How the file is served: as the release lists it; a setup below its
    // minimum; missing from a release pinned before it; longer, or with
    // other bytes, than the pinned release lists.
    enum Served { AsReleased, SmallSetup, Unlisted, Longer, OtherBytes };
    // What stays of the file: nothing, bytes of it, its bytes from before
    // the run exactly, all of it.
    enum Kept { Nothing, APrefix, AsBefore, Whole };
    const char* const tooSmall = "network,ThreadControl,FileTooSmall";
    const char* const badRelease = "network,ThreadControl,BadRelease";
    const char* const notReleased = "network,ThreadControl,NotAsReleased";
    const struct {
        const char* control;   // the server's switch; a trailing '@' takes the file's name
        size_t size;
        Before before;
        const char* error;     // the one Error line; none: the run completes
        const char* refused;   // in the Refused line; none: no such line
        Kept kept;
        int ranged;     // of them with a range; -1: not counted
        int step;       // try i asks from its start + i * step; -1: not looked at
        int retries;    // Retry lines; -1: not counted
        bool early;     // stops before any file is fetched
        bool next;      // the next run completes fetching only the missing tail
        Served served;
        DWORD minimumSerial;
    } cases[] = {
        // An error page (or a captive portal's) brings a length of its own;
        // the server's own trouble (5xx) is tried again until the waits are
        // spent; an answer it meant is not.
        {"fault=no-length@", 3000, Resumed, kNetworkError, nullptr, AsBefore, 0, -1, 0, true, true, AsReleased, 1},
        {"fault=status=503@", 3000, Resumed, kNetworkError, nullptr, AsBefore, 0, -1, 5, true, true, AsReleased, 1},
        {"fault=status=404@", 3000, Resumed, kNetworkError, nullptr, AsBefore, 0, -1, 0, true, true, AsReleased, 1},
        {"fault=no-length@", 300000, Fresh, kNetworkError, nullptr, Nothing, 0, -1, -1, true, true, AsReleased, 1},
        {"fault=status=503@", 300000, Fresh, kNetworkError, nullptr, Nothing, 0, -1, -1, true, true, AsReleased, 1},
        // A transfer that fails for the network is tried again from the
        // byte where it stopped; a try that brings a good part of the file
        // starts the waits afresh, so a connection that keeps dropping still
        // gets the file through, while a server that gives less and less is
        // given up on.
        {"fault=short-body=300000@", 2000000, Fresh, nullptr, nullptr, Whole, 7, 300000, 6, false, false, AsReleased, 1},
        {"fault=short-body=100000@", 1000000, Fresh, kNetworkError, nullptr, APrefix, 6, 100000, 5, false, true, AsReleased, 1},
        {"fault=short-body@", 300000, Fresh, kNetworkError, nullptr, APrefix, -1, -1, -1, false, true, AsReleased, 1},
        {"fault=status-range=503@", 50000, Fresh, kNetworkError, nullptr, Nothing, 6, 0, 5, false, true, AsReleased, 1},
        {"fault=status-range=500@", 300000, Fresh, kNetworkError, nullptr, Nothing, -1, -1, -1, false, true, AsReleased, 1},
        {"fault=status-range=416@", 50000, Fresh, kNetworkError, nullptr, Nothing, 1, 0, 0, false, true, AsReleased, 1},
        {"fault=range-shift@", 300000, Fresh, kNetworkError, nullptr, Nothing, -1, -1, -1, false, true, AsReleased, 1},
        {"fault=drop@", 300000, Fresh, kNetworkError, nullptr, Nothing, -1, -1, -1, true, true, AsReleased, 1},
        {"fault=ignore-range@", 300000, Fresh, nullptr, nullptr, Whole, -1, -1, -1, false, false, AsReleased, 1},
        // A connection that goes silent fails as a lost one (at the receive
        // time-out on Windows; Wine's read ends when the server gives up,
        // the launcher's --stall-seconds): each new try brings the next
        // 100000 bytes, and the third completes the file.
        {"fault=stall=100000@", 300000, Fresh, nullptr, nullptr, Whole, 3, 100000, 2, false, false, AsReleased, 1},
        // A server length other than the record's: the partial file was of
        // an older file and goes; one that cannot go (another program holds
        // it) is a file error, and the new file's tail is never appended.
        {"", 5000, Stale, nullptr, nullptr, Whole, 1, 0, 0, false, false, AsReleased, 1},
        {"", 5000, StaleHeld, "fileio,ThreadControl,FileIOError", nullptr, AsBefore, 0, -1, 0, true, false, AsReleased, 1},
        // Refusals. The release cannot be had or trusted: no file is judged,
        // every partial one stays.
        {"release-key=none", 300000, Resumed, badRelease, "release.txt: HTTP 404", AsBefore, 0, -1, -1, true, true, AsReleased, 1},
        {"release-key=foreign", 300000, Resumed, badRelease, "release.txt: signature by no built-in key", AsBefore, 0, -1, -1, true, true, AsReleased, 1},
        {"", 300000, Resumed, badRelease, "release.txt: serial 100 below 101", AsBefore, 0, -1, -1, true, false, AsReleased, 101},
        {"", 300000, Resumed, badRelease, "lists no fault", AsBefore, 0, -1, -1, true, false, Unlisted, 1},
        // The file is not the released one: refused before a byte of it is
        // read, or deleted once it is whole; the sound file before it stays.
        {"", 300000, Resumed, notReleased, "served with 300001 bytes, the release lists 300000", AsBefore, 0, -1, -1, true, false, Longer, 1},
        {"", 300000, Fresh, notReleased, ": SHA-256 ", Nothing, -1, -1, -1, false, false, OtherBytes, 1},
        {"", (size_t)kSetupMinimum - 1, Fresh, tooSmall, nullptr, Nothing, -1, -1, -1, false, false, SmallSetup, 1},
    };
    std::string first = Pattern(40000, 40);
    int n = 0;
    for (const auto& c : cases) {
        std::string name = c.served == SmallSetup ? "setup.exe" : "fault" + std::to_string(n) + ".bin";
        SCOPED_TRACE(name + " " + c.control);
        std::string content = c.served == SmallSetup ? Component("components-broken\\setup_small.exe")
                                                     : Pattern(c.size, 41 + n);
        ASSERT_EQ(c.size, content.size());
        n++;
        NewList();   // lets go of the files the last one verified
        DeleteFileA((m_strRoot + "\\release.txt").c_str());
        DeleteFileA(scratch.File("first.bin").c_str());
        Control("reset=1");
        Serve("first.bin", first);
        if (c.served == Unlisted)
            PinRelease();
        Serve(name, content);
        if (c.served == Longer || c.served == OtherBytes) {
            PinRelease();
            std::string other = content;
            other[c.size / 2] ^= 1;
            Serve(name, c.served == Longer ? content + "x" : other);
        }
        std::string control = c.control;
        if (!control.empty() && control.back() == '@')
            control += name;
        if (!control.empty())
            Control(control);
        record = KeptRecord();
        std::string before;
        if (c.before == Resumed) {
            before = content.substr(0, c.size / 2);
            record.urls = {Url(name)};
            record.sizes = {(UINT)c.size};
        } else if (c.before != Fresh) {
            before = Pattern(1000, 25);
            record.urls = {Url(name)};
            record.sizes = {4000};
        }
        if (!before.empty())
            WriteBinaryFile(scratch.File(name), before);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.before == StaleHeld) {
            held = CreateFileA(scratch.File(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, held);
        }
        NewList();
        minimumSerial = c.minimumSerial;
        Add("first.bin");
        Add(name, c.served == SmallSetup ? kSetupMinimum : 0);
        size_t errors = Errors().size(), retries = LogValues("Retry").size(), refusals = LogValues("Refused").size();
        size_t firstRanged = RangedRequests("first.bin").size();
        Run();
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);

        std::string got = ReadBinaryFile(scratch.File(name));
        if (c.kept == APrefix) {
            EXPECT_TRUE(got.size() < c.size && content.compare(0, got.size(), got) == 0) << "bytes not the file's";
        } else {
            EXPECT_TRUE((c.kept == AsBefore ? before : c.kept == Whole ? content : "") == got) << got.size() << " bytes";
        }
        if (c.before == Stale || (c.before == Resumed && !c.refused)) {
            EXPECT_EQ(c.size, list->Item(1).m_nKnownSize);   // the record's, or the server's new one
        }
        if (c.early) {
            EXPECT_FALSE(list->SizesKnown());
            EXPECT_EQ(firstRanged, RangedRequests("first.bin").size());
            EXPECT_FALSE(FileExists(scratch.File("first.bin")));
        } else {
            // Only a refused file goes.
            EXPECT_TRUE(first == ReadBinaryFile(scratch.File("first.bin")));
        }
        std::vector<LoggedRequest> ranged = RangedRequests(name, c.ranged < 0 ? 0 : c.ranged);
        if (c.ranged >= 0) {
            ASSERT_EQ((size_t)c.ranged, ranged.size());
        }
        if (c.step >= 0) {
            // Each try asks for exactly what the file still lacks.
            size_t start = c.before == Resumed ? c.size / 2 : 0;
            for (size_t i = 0; i < ranged.size(); i++)
                EXPECT_EQ("bytes=" + std::to_string(start + i * c.step) + "-" + std::to_string(c.size - 1),
                          ranged[i].range);
        }
        if (c.retries >= 0) {
            EXPECT_EQ(retries + c.retries, LogValues("Retry").size());
        }
        std::vector<std::string> refused = LogValues("Refused");
        ASSERT_EQ(refusals + (c.refused ? 1 : 0), refused.size());
        if (c.refused) {
            EXPECT_NE(std::string::npos, refused.back().find(c.refused)) << refused.back();
        }
        if (!c.error) {
            EXPECT_EQ(errors, Errors().size());
            EXPECT_TRUE(Finished());
            continue;
        }
        // One report: the run log's line, the run marked failed, the page of
        // its category shown.
        ASSERT_EQ(errors + 1, Errors().size());
        EXPECT_EQ(c.error, Errors().back());
        EXPECT_EQ(1, failures.failed);
        std::string category = Errors().back().substr(0, Errors().back().find(','));
        ASSERT_FALSE(failures.pages.empty());
        EXPECT_EQ(std::to_string(category == "fileio" ? CategoryFileIO : CategoryNetwork) + " " +
                      Errors().back().substr(category.size() + 1) + " " + reporter.ErrorPageUrl(category.c_str()),
                  failures.pages.back());
        if (!c.next)
            continue;

        // The next run, the fault gone.
        Control("reset=1");
        NewList();
        Add("first.bin");
        Add(name);
        size_t rangedBefore = RangedRequests(name).size();
        Run();
        EXPECT_EQ(errors + 1, Errors().size());
        EXPECT_TRUE(Finished());
        EXPECT_TRUE(first == ReadBinaryFile(scratch.File("first.bin")));
        EXPECT_TRUE(content == ReadBinaryFile(scratch.File(name)));
        std::vector<LoggedRequest> resumed = RangedRequests(name, rangedBefore + 1);
        ASSERT_EQ(rangedBefore + 1, resumed.size());
        EXPECT_EQ("bytes=" + std::to_string(got.size()) + "-" + std::to_string(c.size - 1), resumed.back().range);
    }
}

// A server that comes back while the worker waits: the next try completes
// the run with no report. A cancel ends a wait at once.
TEST_F(DownloadJobTest, AServerBackInTimeCompletesAndACancelEndsAWait)
{
    std::string content = Pattern(200000, 70);
    Serve("back.bin", content);
    Control("fault=drop@back.bin");
    Add("back.bin");
    list->m_anRetryWaitsMs.assign(5, 500);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return !LogValues("Retry").empty(); }, 10000));
    Control("reset=1");
    ASSERT_TRUE(Ended(20000));
    CloseHandle(worker);
    worker = nullptr;
    EXPECT_TRUE(Finished());
    EXPECT_EQ(content, ReadBinaryFile(scratch.File("back.bin")));
    EXPECT_TRUE(Errors().empty());
    EXPECT_FALSE(list->Reconnecting());

    DeleteFileA(scratch.File("back.bin").c_str());
    NewList();
    Control("fault=drop@back.bin");
    Add("back.bin");
    list->m_anRetryWaitsMs.assign(5, 60000);
    Start();
    DWORD left = 0;
    ASSERT_TRUE(WaitUntil([&] { return list->WaitingToRetry(GetTickCount(), left); }, 10000));
    EXPECT_GT(left, 50000u);
    EXPECT_TRUE(list->Reconnecting());
    DWORD started = GetTickCount();
    Cancel();
    EXPECT_TRUE(Ended(5000));
    EXPECT_LT(GetTickCount() - started, 1000u);
    EXPECT_FALSE(list->WaitingToRetry(GetTickCount(), left));
    EXPECT_TRUE(Errors().empty());
    EXPECT_EQ(0, failures.failed);
}

// A cancel that comes while no transfer runs (before the first, between two
// items) holds for every later transfer, the release's included, and the
// run then neither reports nor records.
TEST_F(DownloadJobTest, CancelWithNoTransferRunningIsNotLost)
{
    Serve("late.bin", Pattern(40000, 34));
    Add("late.bin");
    ASSERT_EQ(NoError, list->QueryAllSizes(true));
    list->CancelActiveTransfer();
    EXPECT_EQ(DownloadCancelled, list->DownloadMissing());
    EXPECT_EQ(DownloadCancelled, list->QueryAllSizes(true));
    EXPECT_FALSE(FileExists(scratch.File("late.bin")));
    EXPECT_TRUE(RangedRequests("late.bin").empty());
    Run();
    EXPECT_TRUE(Requests("release.txt").empty());
    EXPECT_TRUE(record.urls.empty());
    EXPECT_TRUE(Errors().empty());
    EXPECT_EQ(0, failures.failed);
}

TEST_F(DownloadJobTest, NoListIsAGeneralError)
{
    list.reset();
    Run();
    EXPECT_EQ(std::vector<std::string>{"general,"}, Errors());
    EXPECT_EQ(1, failures.failed);
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
    // One that cannot be read is not trusted either.
    std::string locked = Place("components\\setup.exe", "locked.exe");
    HANDLE lock = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(BadChecksum, VerifyOne(locked));
    CloseHandle(lock);
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

#include <atomic>
#include <thread>
#include "ServerFixture.h"
#include "download/HttpTransfer.h"

namespace {

class HttpTransferTest : public ServerTest {
protected:
    static void Count(void* arg, UINT count) { *(std::atomic<UINT>*)arg += count; }

    int Fetch(const std::string& url, const std::string& local, int flags = 0)
    {
        return m_transfer.Fetch(m_pSession, url.c_str(), local.empty() ? nullptr : local.c_str(), flags, Count,
                                &m_nProgress);
    }

    // The transfer on a thread of its own, returned once its first chunk is
    // written (or after 5 s); result receives its outcome.
    std::thread FetchUntilFirstChunk(const std::string& url, const std::string& local, int& result)
    {
        std::thread worker([this, url, local, &result] { result = Fetch(url, local); });
        for (int i = 0; i < 200 && m_nProgress == 0; i++)
            Sleep(25);
        return worker;
    }

    HttpTransfer m_transfer;
    std::atomic<UINT> m_nProgress{0};
};

// Each row: a served file, what is already on disk (none, its first bytes,
// or a longer file of other bytes), a server fault, and what comes of it: the
// result, what the local file holds then (its first `kept` bytes of the
// server's, absent, or the longer file untouched), the bytes counted, and the
// Range of each request in order, with the ranged answer's status.
TEST_F(HttpTransferTest, RangesAskOnlyForTheMissingTailAndFaultsKeepWhatArrived)
{
    const long kNone = -1;
    const struct {
        const char* name;
        size_t size;
        long local;   // kNone, a prefix length, or longer than the file
        const char* fault;
        int result;
        long kept;    // kNone: no file
        UINT progress;
        std::vector<std::string> ranges;
        int rangedStatus;
    } cases[] = {
        {"equal.bin", 5000, 5000, "", TransferOK, 5000, 0, {""}, 0},
        {"longer.bin", 5000, 6000, "", TransferOK, 6000, 0, {""}, 0},
        {"resume.bin", 5000, 1000, "", TransferOK, 5000, 4000, {"", "bytes=1000-4999"}, 206},
        {"fresh.bin", 70000, kNone, "", TransferOK, 70000, 70000, {"", "bytes=0-69999"}, 206},   // several chunks
        {"short.bin", 5000, kNone, "short-body=1200", TransferBodyEndedEarly, 1200, 1200, {"", "bytes=0-4999"}, 206},
        // A range answered with the whole file: the bytes before it are
        // skipped, nothing beyond it is written.
        {"ignored.bin", 100000, 40000, "ignore-range", TransferOK, 100000, 60000, {"", "bytes=40000-99999"}, 200},
        {"status.bin", 5000, 1000, "status-range=500", TransferRangeRequestFailed, 1000, 0, {"", "bytes=1000-4999"}, 500},
        {"none.bin", 5000, kNone, "status-range=500", TransferRangeRequestFailed, kNone, 0, {"", "bytes=0-4999"}, 500},
    };
    int seed = 20;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string content = Pattern(c.size, seed++), other = c.local > (long)c.size ? Pattern(c.local, seed++) : "";
        std::string url = Serve(c.name, content), local = m_scratch.File(c.name);
        if (*c.fault)
            Control(std::string("fault=") + c.fault + "@" + c.name);
        if (c.local != kNone)
            WriteBinaryFile(local, other.empty() ? content.substr(0, c.local) : other);
        HttpTransfer transfer;
        std::atomic<UINT> progress{0};
        EXPECT_EQ(c.result, transfer.Fetch(m_pSession, url.c_str(), local.c_str(), 0, Count, &progress));
        EXPECT_EQ(c.kept != kNone, FileExists(local));
        if (c.kept != kNone) {
            EXPECT_EQ(other.empty() ? content.substr(0, c.kept) : other, ReadBinaryFile(local));
        }
        EXPECT_EQ(c.progress, progress.load());
        if (c.result == TransferOK) {
            EXPECT_EQ(c.progress, transfer.m_nBytesTransferred);
        }
        std::vector<LoggedRequest> requests = Requests(c.name, c.ranges.size());
        ASSERT_EQ(c.ranges.size(), requests.size());
        for (size_t i = 0; i < requests.size(); i++) {
            EXPECT_EQ(c.ranges[i], requests[i].range);
            if (!requests[i].range.empty()) {
                EXPECT_EQ(c.rangedStatus, requests[i].status);
            }
            if (requests[i].status == 206) {
                EXPECT_EQ((long long)c.progress, requests[i].sent);
            }
        }
    }

    // A range in the middle of the file, from a server that ignores ranges.
    std::string content = Pattern(100000, 7), part = m_scratch.File("part.bin");
    std::string url = Serve("middle.bin", content);
    Control("fault=ignore-range@middle.bin");
    HttpTransfer middle;
    EXPECT_EQ(TransferOK, middle.TransferRange(m_pSession, url.c_str(), part.c_str(), 1000, 2000, 0, nullptr, nullptr));
    EXPECT_EQ(content.substr(1000, 2000), ReadBinaryFile(part));
}

// The size query reads the length with one request. Its body is never read,
// so it must not cross the wire either: not pulled into a cache, not drained
// to keep the connection. The request asks the server to end its connection,
// and is closed as soon as the length is known: on a fast link it costs what
// was in flight.
TEST_F(HttpTransferTest, SizeQueryReadsTheLengthAndLeavesBodiesOnTheServer)
{
    std::string content = Pattern(6000000, 11);
    std::string url = Serve("unread.bin", content);
    Control("fault=slow=4194304@unread.bin");
    std::string local = m_scratch.File("unread.bin");
    HttpTransfer size;
    EXPECT_EQ(TransferOK, size.Fetch(m_pSession, url.c_str(), nullptr, TransferSizeOnly, nullptr, nullptr));
    EXPECT_EQ(6000000, size.m_nContentLength);
    EXPECT_EQ(1u, Requests("unread.bin", 1).size());
    EXPECT_EQ(TransferOK, Fetch(url, local));
    EXPECT_EQ(content, ReadBinaryFile(local));
    std::vector<LoggedRequest> requests = Requests("unread.bin", 3);
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ("", requests[0].range);
    for (const LoggedRequest& r : requests) {
        bool plain = r.range.empty();
        EXPECT_EQ(plain ? "close" : "", r.connection) << r.range;
        if (plain) {
            EXPECT_LE(r.sent, 65536);
        }
    }

    Control("fault=no-length@unread.bin");
    HttpTransfer again;
    EXPECT_EQ(TransferNoLength, again.Fetch(m_pSession, url.c_str(), nullptr, TransferSizeOnly, nullptr, nullptr));
    EXPECT_EQ(NetworkError, TransferResultToDownloadError(again.m_nResult));
}

TEST_F(HttpTransferTest, RangesOutsideTheFileBadAddressesAndEarlyCancelsSendNothing)
{
    std::string url = Serve("bounds.bin", Pattern(5000, 9));
    std::string local = m_scratch.File("bounds.bin");
    HttpTransfer t;
    EXPECT_EQ(TransferStartBeyondEnd, t.TransferRange(m_pSession, url.c_str(), local.c_str(), 5000, 0, 0, nullptr, nullptr));
    EXPECT_EQ(TransferEndBeyondEnd, t.TransferRange(m_pSession, url.c_str(), local.c_str(), 4000, 1001, 0, nullptr, nullptr));
    EXPECT_FALSE(FileExists(local));
    EXPECT_TRUE(RangedRequests("bounds.bin").empty());
    EXPECT_EQ(TransferBadUrl, t.Fetch(m_pSession, "not an address", local.c_str(), 0, nullptr, nullptr));
    // Nothing listens on port 9 of the loopback.
    int dead = t.Fetch(m_pSession, "http://127.0.0.1:9/install/x.bin", local.c_str(), 0, nullptr, nullptr);
    EXPECT_EQ(NetworkError, TransferResultToDownloadError(dead)) << dead;

    // Nor does a cancel that comes before the transfer starts (the size
    // query after it is the only request).
    std::string earlyUrl = Serve("early.bin", Pattern(3000, 14));
    std::string early = m_scratch.File("early.bin");
    HttpTransfer cancelled;
    cancelled.RequestCancel();
    EXPECT_EQ(TransferCancelled, cancelled.Fetch(m_pSession, earlyUrl.c_str(), early.c_str(), 0, nullptr, nullptr));
    EXPECT_FALSE(FileExists(early));
    HttpTransfer size;
    EXPECT_EQ(TransferOK, size.Fetch(m_pSession, earlyUrl.c_str(), nullptr, TransferSizeOnly, nullptr, nullptr));
    EXPECT_EQ(1u, Requests("early.bin", 1).size());
}

TEST_F(HttpTransferTest, CancelStopsAfterTheCurrentChunk)
{
    std::string content = Pattern(400000, 10);
    std::string url = Serve("slow.bin", content);
    Control("fault=slow=65536@slow.bin");
    std::string local = m_scratch.File("slow.bin");
    int result = -1;
    std::thread worker = FetchUntilFirstChunk(url, local, result);
    m_transfer.RequestCancel();
    worker.join();
    EXPECT_EQ(TransferCancelled, result);
    std::string written = ReadBinaryFile(local);
    EXPECT_GT(written.size(), 0u);
    EXPECT_LT(written.size(), content.size());
    EXPECT_EQ(0u, written.size() % 16384);
    EXPECT_EQ(written.size(), m_nProgress.load());
    EXPECT_EQ(content.substr(0, written.size()), written);
}

// A cancel while the server sends nothing closes the waiting request (which
// ends the wait on Windows; Wine ends it when the server gives up), and only
// once: a handle opened after the cancel, which may reuse the closed one's
// value, survives the end of the transfer.
TEST_F(HttpTransferTest, CancelOfAStalledReadClosesTheRequestOnce)
{
    std::string url = Serve("stalled.bin", Pattern(100000, 12));
    Control("fault=stall=20000@stalled.bin");
    std::string local = m_scratch.File("stalled.bin");
    int result = -1;
    std::thread worker = FetchUntilFirstChunk(url, local, result);
    Sleep(200);   // the read after the first chunk waits on the server now
    m_transfer.RequestCancel();
    Serve("other.bin", Pattern(3000, 13));
    INTERNET_PORT port = (INTERNET_PORT)atoi(m_strServer.c_str() + m_strServer.rfind(':') + 1);
    CHttpConnection* connection = m_pSession->GetHttpConnection("127.0.0.1", port);
    CHttpFile* other = connection->OpenRequest("GET", "/install/other.bin");
    worker.join();
    EXPECT_EQ(TransferCancelled, result);
    // Windows drops the interrupted read; Wine writes what it brought.
    std::string written = ReadBinaryFile(local);
    EXPECT_GE(written.size(), 16384u);
    EXPECT_EQ(Pattern(100000, 12).substr(0, written.size()), written);
    EXPECT_EQ(written.size(), m_nProgress.load());
    other->SendRequest();
    EXPECT_EQ(200u, other->QueryStatusCode());
    delete other;
    delete connection;
}

TEST(DownloadErrorNames, NamesOfKnownAndUnknownCodes)
{
    // Appended, never renumbered: the operators' reports count them by name.
    const std::pair<int, const char*> names[] = {
        {NetworkError, "NetworkError"}, {DownloadCancelled, "DownloadCancelled"}, {BadSignature, "BadSignature"},
        {8, "NoSignatureCheck"}, {9, "BadRelease"}, {10, "NotAsReleased"}, {11, "UnknownError"}, {-1, "UnknownError"}};
    for (const auto& n : names)
        EXPECT_STREQ(n.second, DownloadErrorName(n.first)) << n.first;
    const std::pair<int, int> errors[] = {
        {TransferCancelled, DownloadCancelled}, {TransferStartBeyondEnd, FileIOError}, {TransferReadFailed, NetworkError},
        {TransferBodyEndedEarly, NetworkError}, {TransferNotAsReleased, NotAsReleased}, {TransferNotAsReleased + 1, NetworkError}};
    for (const auto& e : errors)
        EXPECT_EQ(e.second, TransferResultToDownloadError(e.first)) << e.first;
}

} // namespace

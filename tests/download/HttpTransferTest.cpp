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

TEST_F(HttpTransferTest, SizeQueryReadsTheLengthWithOneRequest)
{
    std::string url = Serve("size.bin", Pattern(5000, 1));
    EXPECT_EQ(TransferOK, Fetch(url, "", TransferSizeOnly));
    EXPECT_EQ(5000, m_transfer.m_nContentLength);
    std::vector<LoggedRequest> requests = Requests("size.bin", 1);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("", requests[0].range);

    Control("fault=no-length@size.bin");
    HttpTransfer again;
    EXPECT_EQ(TransferNoLength, again.Fetch(m_pSession, url.c_str(), nullptr, TransferSizeOnly, nullptr, nullptr));
    EXPECT_EQ(NetworkError, TransferResultToDownloadError(again.m_nResult));
}

TEST_F(HttpTransferTest, LocalFileAtLeastAsLongAsTheServersNeedsNoRange)
{
    std::string content = Pattern(5000, 2);
    std::string url = Serve("whole.bin", content);
    std::string equal = m_scratch.File("equal.bin"), longer = m_scratch.File("longer.bin");
    WriteBinaryFile(equal, content);
    WriteBinaryFile(longer, Pattern(6000, 3));
    EXPECT_EQ(TransferOK, Fetch(url, equal));
    EXPECT_EQ(TransferOK, Fetch(url, longer));
    EXPECT_EQ(content, ReadBinaryFile(equal));
    EXPECT_EQ(Pattern(6000, 3), ReadBinaryFile(longer));
    EXPECT_EQ(2u, Requests("whole.bin", 2).size());
    EXPECT_TRUE(RangedRequests("whole.bin").empty());
    EXPECT_EQ(0u, m_nProgress);
}

TEST_F(HttpTransferTest, ResumeAppendsExactlyTheMissingTail)
{
    std::string content = Pattern(5000, 4);
    std::string url = Serve("resume.bin", content);
    std::string local = m_scratch.File("resume.bin");
    WriteBinaryFile(local, content.substr(0, 1000));
    EXPECT_EQ(TransferOK, Fetch(url, local));
    EXPECT_EQ(content, ReadBinaryFile(local));
    EXPECT_EQ(4000u, m_nProgress);
    EXPECT_EQ(4000u, m_transfer.m_nBytesTransferred);
    std::vector<LoggedRequest> ranged = RangedRequests("resume.bin", 1);
    ASSERT_EQ(1u, ranged.size());
    EXPECT_EQ("bytes=1000-4999", ranged[0].range);
    EXPECT_EQ(206, ranged[0].status);
    EXPECT_EQ(4000, ranged[0].sent);
}

TEST_F(HttpTransferTest, FreshFileIsFetchedWithAFullRangeAfterAPlainRequest)
{
    std::string content = Pattern(70000, 5);   // several chunks
    std::string url = Serve("fresh.bin", content);
    std::string local = m_scratch.File("fresh.bin");
    EXPECT_EQ(TransferOK, Fetch(url, local));
    EXPECT_EQ(content, ReadBinaryFile(local));
    std::vector<LoggedRequest> requests = Requests("fresh.bin", 2);
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("", requests[0].range);
    EXPECT_EQ("bytes=0-69999", requests[1].range);
}

// The length request's body is never read, so it must not cross the wire
// either: not pulled into a cache, not drained to keep the connection. The
// request asks the server to end its connection, and is closed as soon as
// the length is known: on a fast link it costs what was in flight.
TEST_F(HttpTransferTest, UnreadBodiesStayOnTheServer)
{
    std::string content = Pattern(6000000, 11);
    std::string url = Serve("unread.bin", content);
    Control("fault=slow=4194304@unread.bin");
    std::string local = m_scratch.File("unread.bin");
    HttpTransfer size;
    EXPECT_EQ(TransferOK, size.Fetch(m_pSession, url.c_str(), nullptr, TransferSizeOnly, nullptr, nullptr));
    EXPECT_EQ(TransferOK, Fetch(url, local));
    EXPECT_EQ(content, ReadBinaryFile(local));
    std::vector<LoggedRequest> requests = Requests("unread.bin", 3);
    ASSERT_EQ(3u, requests.size());
    for (const LoggedRequest& r : requests) {
        bool plain = r.range.empty();
        EXPECT_EQ(plain ? "close" : "", r.connection) << r.range;
        if (plain) {
            EXPECT_LE(r.sent, 65536);
        }
    }
}

TEST_F(HttpTransferTest, ShortBodyEndsWithElevenAndKeepsWhatArrived)
{
    std::string content = Pattern(5000, 6);
    std::string url = Serve("short.bin", content);
    Control("fault=short-body=1200@short.bin");
    std::string local = m_scratch.File("short.bin");
    EXPECT_EQ(TransferBodyEndedEarly, Fetch(url, local));
    EXPECT_EQ(content.substr(0, 1200), ReadBinaryFile(local));
    EXPECT_EQ(1200u, m_nProgress);
    EXPECT_EQ(NetworkError, TransferResultToDownloadError(TransferBodyEndedEarly));
}

// A server that answers a range with the whole file: the bytes before the
// range are skipped, and nothing beyond the range is written.
TEST_F(HttpTransferTest, IgnoredRangeStillGivesTheExactFile)
{
    std::string content = Pattern(100000, 7);
    std::string url = Serve("ignored.bin", content);
    Control("fault=ignore-range@ignored.bin");
    std::string local = m_scratch.File("ignored.bin");
    WriteBinaryFile(local, content.substr(0, 40000));
    EXPECT_EQ(TransferOK, Fetch(url, local));
    EXPECT_EQ(content, ReadBinaryFile(local));
    EXPECT_EQ(60000u, m_nProgress);
    std::vector<LoggedRequest> ranged = RangedRequests("ignored.bin", 1);
    ASSERT_EQ(1u, ranged.size());
    EXPECT_EQ(200, ranged[0].status);

    std::string part = m_scratch.File("part.bin");
    HttpTransfer middle;
    EXPECT_EQ(TransferOK, middle.TransferRange(m_pSession, url.c_str(), part.c_str(), 1000, 2000, 0, nullptr, nullptr));
    EXPECT_EQ(content.substr(1000, 2000), ReadBinaryFile(part));
}

TEST_F(HttpTransferTest, ErrorStatusOnTheRangeWritesNothing)
{
    std::string content = Pattern(5000, 8);
    std::string url = Serve("status.bin", content);
    Control("fault=status-range=500@status.bin");
    std::string partial = m_scratch.File("status.bin"), fresh = m_scratch.File("none.bin");
    WriteBinaryFile(partial, content.substr(0, 1000));
    EXPECT_EQ(TransferRangeRequestFailed, Fetch(url, partial));
    EXPECT_EQ(content.substr(0, 1000), ReadBinaryFile(partial));
    EXPECT_EQ(TransferRangeRequestFailed, Fetch(url, fresh));
    EXPECT_FALSE(FileExists(fresh));
    EXPECT_EQ(0u, m_nProgress);
}

TEST_F(HttpTransferTest, RangesOutsideTheFileAndBadAddressesFail)
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

    // A cancel that comes before the transfer starts: nothing goes out (the
    // size query after it is the only request).
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
    EXPECT_STREQ("NetworkError", DownloadErrorName(NetworkError));
    EXPECT_STREQ("DownloadCancelled", DownloadErrorName(DownloadCancelled));
    EXPECT_STREQ("BadSignature", DownloadErrorName(BadSignature));
    EXPECT_STREQ("NoSignatureCheck", DownloadErrorName(8));
    // Appended, never renumbered: the operators' reports count them by name.
    EXPECT_STREQ("BadRelease", DownloadErrorName(9));
    EXPECT_STREQ("NotAsReleased", DownloadErrorName(10));
    EXPECT_STREQ("UnknownError", DownloadErrorName(11));
    EXPECT_STREQ("UnknownError", DownloadErrorName(-1));
    EXPECT_EQ(DownloadCancelled, TransferResultToDownloadError(TransferCancelled));
    EXPECT_EQ(FileIOError, TransferResultToDownloadError(TransferStartBeyondEnd));
    EXPECT_EQ(NetworkError, TransferResultToDownloadError(TransferReadFailed));
    EXPECT_EQ(NotAsReleased, TransferResultToDownloadError(TransferNotAsReleased));
    EXPECT_EQ(NetworkError, TransferResultToDownloadError(TransferNotAsReleased + 1));
}

} // namespace

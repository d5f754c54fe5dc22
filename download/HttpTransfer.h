// One ranged HTTP download (or size query): a plain GET for the length, then
// a GET with a Range header for the missing bytes, appended to the local file.
#pragma once
#include <windows.h>
#include <atomic>
#include <string>
#include "download/DownloadError.h"
#include "framework/Internet.h"
#include "framework/Lock.h"

// Result codes of a transfer; the numbers are what callers and logs see.
enum TransferResult {
    TransferOK = 0,
    TransferBadUrl = 1,
    TransferNoConnection = 2,
    TransferRequestFailed = 3,
    TransferNoLength = 4,
    TransferStartBeyondEnd = 5,
    TransferEndBeyondEnd = 6,
    TransferNoRangeConnection = 7,
    TransferCantAddRange = 8,
    TransferRangeRequestFailed = 9,
    TransferCantOpenFile = 10,
    TransferBodyEndedEarly = 11,
    TransferWriteFailed = 12,
    TransferSeekFailed = 13,
    TransferReadFailed = 14,
    TransferCancelled = 15,
    TransferNotAsReleased = 16,   // a length other than the release lists
};

// Transfer flags.
enum { TransferResume = 1, TransferSizeOnly = 2 };

// Called after every chunk has been written, with the caller's argument and
// the number of bytes just written.
typedef void (*TransferProgressProc)(void* arg, UINT count);

// The DownloadError a transfer result stands for.
DownloadError TransferResultToDownloadError(int result);
// Whether a new try may mend a failed transfer: no connection, a connection
// lost, no answer or the server's own trouble (5xx). An answer the server
// meant (4xx, a wrong range, no length) stays as it is.
bool TransferFailedForNetwork(int result, DWORD status);

class HttpTransfer {
public:
    HttpTransfer() = default;
    virtual ~HttpTransfer() = default;
    HttpTransfer(const HttpTransfer&) = delete;
    HttpTransfer& operator=(const HttpTransfer&) = delete;

    // Fetches what the local file still lacks (resuming from its size), or
    // only the server's length when localPath is null.
    int Fetch(CInternetSession* session, const char* url, const char* localPath, int flags,
              TransferProgressProc progress, void* arg);
    int TransferRange(CInternetSession* session, const char* url, const char* localPath, UINT startOffset,
                      UINT length, int flags, TransferProgressProc progress, void* arg);
    // Safe from any thread, before or during the transfer. The request in
    // use is closed, which ends a wait on a silent server at once on
    // Windows; the transfer then returns TransferCancelled without touching
    // that request again. Where the close does not interrupt a read (Wine),
    // the body loop stops after the read in progress.
    void RequestCancel();
    // A small file whole, with one plain GET: TransferOK with its bytes in
    // body; TransferRequestFailed when the answer is not 200 (m_dwStatus
    // holds it) or has more than maxBytes.
    int FetchWhole(CInternetSession* session, const char* url, size_t maxBytes, std::string& body);
    // Safe from any thread: closes the request in use when nothing has
    // arrived on it for limitMs before now (a tick count), so a connection
    // that went silent fails as a lost one (TransferReadFailed) even where
    // the platform's receive time-out does not end the wait.
    void AbortIfSilent(DWORD now, DWORD limitMs);

    // Fields, in declared order.
    std::atomic<bool> m_bCancel{false};
    UINT m_nBytesTransferred = 0;
    UINT m_nLength = 0;
    UINT m_nStartOffset = 0;
    UINT m_nBufferSize = 16384;
    int m_nContentLength = 0;
    // The length the release lists, 0 for none: a server that announces
    // another is refused before a byte of the file is read.
    UINT m_nExpectedLength = 0;
    DWORD m_dwStatus = 0;   // of the last answer; 0 for none
    std::atomic<DWORD> m_dwLastActivity{0};   // tick of the request's start or its last bytes
    int m_nResult = 0;
    std::string m_strLocalPath;
    std::string m_strURL;
    CInternetSession* m_pSession = nullptr;
    INTERNET_PORT m_nPort = 0;
    DWORD m_dwServiceType = 0;
    std::string m_strObject;
    std::string m_strServer;

private:
    struct Request;
    // A failure that follows a cancel is the cancel's doing.
    int Finish(int result) { return m_nResult = (result != TransferOK && m_bCancel) ? TransferCancelled : result; }
    int Body(CHttpFile& response, DWORD status, int flags, TransferProgressProc progress, void* arg);
    // The request that RequestCancel closes. Publishing fails once a cancel
    // has come; withdrawing comes before the owner closes the request, so
    // the handle is closed exactly once, by one side or the other.
    bool PublishRequest(CHttpFile* file);
    void WithdrawRequest(CHttpFile* file);

    CCriticalSection m_requestLock;
    CHttpFile* m_pOpenRequest = nullptr;   // guarded by m_requestLock
};

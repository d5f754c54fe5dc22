// The ranged transfer: length from a plain GET, then exactly the missing
// bytes with a Range request, appended to the local file in 16 KB chunks.
#include "download/HttpTransfer.h"
#include <cctype>
#include <climits>
#include <cstdlib>
#include <vector>
#include "framework/File.h"

DownloadError TransferResultToDownloadError(int result)
{
    // A body that ends before its length (11) is the connection's doing,
    // not the disk's: the visitor is sent to the network's help.
    static const unsigned char kMap[] = {
        NoError,      NetworkError, NetworkError, NetworkError, NetworkError, FileIOError,
        FileIOError,  NetworkError, NetworkError, NetworkError, FileIOError,  NetworkError,
        FileIOError,  FileIOError,  NetworkError, DownloadCancelled, NotAsReleased,
    };
    if (result < 0 || result >= (int)sizeof kMap)
        return NetworkError;
    return (DownloadError)kMap[result];
}

bool TransferFailedForNetwork(int result, DWORD status)
{
    switch (result) {
    case TransferNoConnection:
    case TransferNoRangeConnection:
    case TransferBodyEndedEarly:
    case TransferReadFailed:
        return true;
    case TransferRequestFailed:
    case TransferRangeRequestFailed:
        return status == 0 || status >= 500;
    }
    return false;
}

namespace {

const char* kAcceptTypes[] = {"*/*", nullptr};

// Leading decimal digits, as atoi reads them; lengths beyond the 32-bit
// signed range count as no usable length.
int ParseLength(const std::string& text)
{
    const char* p = text.c_str();
    while (*p == ' ' || *p == '\t')
        p++;
    unsigned long long value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (unsigned)(*p - '0');
        if (value > INT_MAX)
            return 0;
    }
    return (int)value;
}

// The first byte named by a "Content-Range: bytes a-b/n" answer, or -1.
long long ContentRangeStart(CHttpFile& response)
{
    std::string text;
    if (!response.QueryInfo(HTTP_QUERY_CONTENT_RANGE, text) || text.compare(0, 5, "bytes") != 0)
        return -1;
    // Read by hand: sscanf in C++ is mingw's, tens of kilobytes in the stub.
    const char* p = text.c_str() + 5;
    while (isspace((unsigned char)*p))
        p++;
    if (*p == '+')
        p++;
    if (*p < '0' || *p > '9')
        return -1;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (*p - '0');
        if (value > UINT_MAX)
            return LLONG_MAX;    // beyond any offset requested
    }
    return value;
}

} // namespace

// One connection and its request; released on every way out. The request is
// published to RequestCancel while it is open.
struct HttpTransfer::Request {
    explicit Request(HttpTransfer& owner) : owner(owner) {}
    ~Request() { Release(); }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    void Release()
    {
        if (file) {
            owner.WithdrawRequest(file);
            file->Close();
            delete file;
            file = nullptr;
        }
        delete connection;
        connection = nullptr;
    }
    // False when a cancel came first (nothing was sent); throws when the
    // request cannot be opened. A length request asks the server to end its
    // connection with the answer: its body is never read, and a connection
    // that cannot be reused is not worth draining, so closing the request
    // ends the connection. (Wine reads whatever has already arrived before
    // it closes; on a machine too busy to keep up with the link that can be
    // the whole body.)
    bool Open(const std::string& object, bool lengthOnly)
    {
        // Not through the cache: a cached copy would answer with a stale
        // length, and filling the cache makes the platform read the whole
        // unread body of the length request, tripling the bytes on the wire.
        file = connection->OpenRequest("GET", object.c_str(), nullptr, 1, kAcceptTypes, "HTTP/1.1",
                                       INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_RELOAD |
                                           INTERNET_FLAG_NO_CACHE_WRITE);
        if (lengthOnly)
            file->AddRequestHeaders("Connection: close", HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
        return owner.PublishRequest(file);
    }

    HttpTransfer& owner;
    CHttpConnection* connection = nullptr;
    CHttpFile* file = nullptr;
};

void HttpTransfer::RequestCancel()
{
    CSingleLock hold(m_requestLock);
    m_bCancel = true;
    if (m_pOpenRequest) {
        m_pOpenRequest->Abort();
        m_pOpenRequest = nullptr;
    }
}

bool HttpTransfer::PublishRequest(CHttpFile* file)
{
    CSingleLock hold(m_requestLock);
    if (m_bCancel)
        return false;
    m_pOpenRequest = file;
    m_dwLastActivity = GetTickCount();
    return true;
}

void HttpTransfer::AbortIfSilent(DWORD now, DWORD limitMs)
{
    CSingleLock hold(m_requestLock);
    if (m_pOpenRequest && now - m_dwLastActivity.load() >= limitMs) {
        m_pOpenRequest->Abort();
        m_pOpenRequest = nullptr;
    }
}

void HttpTransfer::WithdrawRequest(CHttpFile* file)
{
    CSingleLock hold(m_requestLock);
    if (m_pOpenRequest == file)
        m_pOpenRequest = nullptr;
}

int HttpTransfer::Fetch(CInternetSession* session, const char* url, const char* localPath, int flags,
                        TransferProgressProc progress, void* arg)
{
    UINT start = 0;
    CFileStatus status;
    if (localPath && CFile::GetStatus(localPath, status)) {
        start = (UINT)status.m_size;
        flags |= TransferResume;
    }
    return TransferRange(session, url, localPath, start, 0, flags, progress, arg);
}

int HttpTransfer::TransferRange(CInternetSession* session, const char* url, const char* localPath, UINT startOffset,
                                UINT length, int flags, TransferProgressProc progress, void* arg)
{
    // The cancel flag is not cleared here: a cancel that arrives between the
    // publication of this object and this call must still stop it.
    m_pSession = session;
    m_strURL = url ? url : "";
    m_strLocalPath = localPath ? localPath : "";
    m_nStartOffset = startOffset;
    m_nLength = length;
    m_nBytesTransferred = 0;
    m_nContentLength = 0;
    m_dwStatus = 0;

    if (!session || !url || !AfxParseURL(url, m_dwServiceType, m_strServer, m_strObject, m_nPort))
        return Finish(TransferBadUrl);

    Request first(*this);
    try {
        first.connection = session->GetHttpConnection(m_strServer.c_str(), m_nPort);
    } catch (const CException&) {
        return Finish(TransferNoConnection);
    }
    std::string lengthText;
    DWORD lengthStatus = 0;
    try {
        if (!first.Open(m_strObject, true))
            return Finish(TransferCancelled);
        first.file->SendRequest();
        lengthStatus = m_dwStatus = first.file->QueryStatusCode();
        first.file->QueryInfo(HTTP_QUERY_CONTENT_LENGTH, lengthText);
    } catch (const CException&) {
        return Finish(TransferRequestFailed);
    }
    // Closed before anything else: every moment it stays open, the server
    // pushes more of a body that is never read.
    first.Release();
    // An error page, or a captive portal's, has a length of its own: taken
    // for the file's, it would discard every partial download.
    if (lengthStatus < 200 || lengthStatus > 299)
        return Finish(TransferRequestFailed);
    m_nContentLength = ParseLength(lengthText);
    if (m_nContentLength == 0)
        return Finish(TransferNoLength);
    if (m_nExpectedLength && (UINT)m_nContentLength != m_nExpectedLength)
        return Finish(TransferNotAsReleased);
    if (flags & TransferSizeOnly)
        return Finish(TransferOK);

    CFileStatus status;
    if (localPath && CFile::GetStatus(localPath, status) && (LONGLONG)status.m_size >= m_nContentLength)
        return Finish(TransferOK);
    UINT last = (UINT)m_nContentLength - 1;
    if (m_nStartOffset > last)
        return Finish(TransferStartBeyondEnd);
    unsigned long long end;
    if (m_nLength == 0) {
        m_nLength = (UINT)m_nContentLength - m_nStartOffset;
        end = last;
    } else {
        end = (unsigned long long)m_nStartOffset + m_nLength - 1;
    }
    if (end > last)
        return Finish(TransferEndBeyondEnd);

    Request second(*this);
    try {
        second.connection = session->GetHttpConnection(m_strServer.c_str(), m_nPort);
    } catch (const CException&) {
        return Finish(TransferNoRangeConnection);
    }
    try {
        if (!second.Open(m_strObject, false))
            return Finish(TransferCancelled);
    } catch (const CException&) {
        return Finish(TransferRangeRequestFailed);
    }
    char header[64];
    wsprintfA(header, "Range: bytes=%u-%u", m_nStartOffset, (UINT)end);
    if (!second.file->AddRequestHeaders(header, HTTP_ADDREQ_FLAG_ADD_IF_NEW))
        return Finish(TransferCantAddRange);
    DWORD statusCode = 0;
    m_dwStatus = 0;
    try {
        second.file->SendRequest();
        statusCode = m_dwStatus = second.file->QueryStatusCode();
    } catch (const CException&) {
        return Finish(TransferRangeRequestFailed);
    }
    // Only the requested bytes (206) or the whole file (200, a server that
    // ignores ranges) can be placed; anything else is not file content.
    if (statusCode == 206) {
        long long first = ContentRangeStart(*second.file);
        if (first >= 0 && first != (long long)m_nStartOffset)
            return Finish(TransferRangeRequestFailed);
    } else if (statusCode != 200) {
        return Finish(TransferRangeRequestFailed);
    }
    return Finish(Body(*second.file, statusCode, flags, progress, arg));
}

int HttpTransfer::FetchWhole(CInternetSession* session, const char* url, size_t maxBytes, std::string& body)
{
    body.clear();
    m_dwStatus = 0;
    if (!session || !url || !AfxParseURL(url, m_dwServiceType, m_strServer, m_strObject, m_nPort))
        return Finish(TransferBadUrl);
    Request request(*this);
    try {
        request.connection = session->GetHttpConnection(m_strServer.c_str(), m_nPort);
    } catch (const CException&) {
        return Finish(TransferNoConnection);
    }
    try {
        if (!request.Open(m_strObject, false))
            return Finish(TransferCancelled);
        request.file->SendRequest();
        m_dwStatus = request.file->QueryStatusCode();
    } catch (const CException&) {
        return Finish(TransferRequestFailed);
    }
    if (m_dwStatus != 200)
        return Finish(TransferRequestFailed);
    // Refused the moment it passes maxBytes: nothing longer is read.
    char buffer[1024];
    while (!m_bCancel) {
        UINT count;
        try {
            count = request.file->Read(buffer, sizeof buffer);
        } catch (const CException&) {
            return Finish(TransferReadFailed);
        }
        if (count == 0)
            return Finish(m_bCancel ? TransferCancelled : TransferOK);
        if (body.size() + count > maxBytes)
            return Finish(TransferRequestFailed);
        body.append(buffer, count);
    }
    return Finish(TransferCancelled);
}

int HttpTransfer::Body(CHttpFile& response, DWORD status, int flags, TransferProgressProc progress, void* arg)
{
    if (m_strLocalPath.empty())
        return TransferCantOpenFile;
    if (m_bCancel)
        return TransferCancelled;
    CFile file;
    UINT mode = CFile::modeCreate | CFile::modeWrite | CFile::shareDenyWrite;
    if (flags & TransferResume)
        mode |= CFile::modeNoTruncate;
    if (!file.Open(m_strLocalPath.c_str(), mode))
        return TransferCantOpenFile;
    if (flags & TransferResume) {
        try {
            file.SeekToEnd();
        } catch (const CException&) {
            return TransferSeekFailed;
        }
    }

    std::vector<char> buffer(m_nBufferSize);
    // A whole-file answer carries the bytes before the range first.
    UINT skip = status == 200 ? m_nStartOffset : 0;
    m_nBytesTransferred = 0;
    while (m_nBytesTransferred < m_nLength && !m_bCancel) {
        // Never ask for more than the range still needs, so nothing beyond
        // it reaches the file whatever the server sends.
        UINT want = skip ? skip : m_nLength - m_nBytesTransferred;
        if (want > m_nBufferSize)
            want = m_nBufferSize;
        UINT count;
        try {
            count = response.Read(buffer.data(), want);
        } catch (const CException&) {
            return TransferReadFailed;
        }
        if (count == 0)
            return TransferBodyEndedEarly;
        m_dwLastActivity = GetTickCount();
        if (skip) {
            skip -= count;
            continue;
        }
        m_nBytesTransferred += count;
        try {
            file.Write(buffer.data(), count);
        } catch (const CException&) {
            return TransferWriteFailed;
        }
        if (progress)
            progress(arg, count);
    }
    return m_nBytesTransferred < m_nLength ? TransferCancelled : TransferOK;
}

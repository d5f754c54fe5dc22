// The download list: progress totals for the UI, verification of finished
// files, and the per-item steps the download thread runs.
#include "download/DownloadList.h"
#include <imagehlp.h>
#include <cstring>
#include "download/HttpTransfer.h"
#include "framework/File.h"

const char* DownloadErrorName(int code)
{
    static const char* const kNames[] = {"NoError",     "NetworkError", "FileIOError",      "FileTooSmall",
                                         "FileNotFound", "BadChecksum", "DownloadCancelled"};
    if (code < 0 || code >= (int)(sizeof kNames / sizeof kNames[0]))
        return "UnknownError";
    return kNames[code];
}

DownloadList::~DownloadList()
{
    for (DownloadItem* item : m_apItems)
        delete item;
}

bool DownloadList::AddItem(const std::string& url, const std::string& localPath, UINT knownSize, int minimumSize)
{
    DownloadItem* item = new DownloadItem;
    item->m_strURL = url;
    item->m_strLocalPath = localPath;
    item->m_nKnownSize = knownSize;
    item->m_nMinimumSize = minimumSize;
    m_apItems.push_back(item);
    return true;
}

UINT DownloadList::TotalServerBytes() const
{
    UINT total = 0;
    for (const DownloadItem* item : m_apItems)
        total += item->m_nServerSize;
    return total;
}

UINT DownloadList::TotalLocalBytes() const
{
    UINT total = 0;
    for (const DownloadItem* item : m_apItems)
        total += item->m_nLocalSize;
    return total;
}

bool DownloadList::AllComplete() const
{
    for (const DownloadItem* item : m_apItems)
        if (!item->IsComplete())
            return false;
    return true;
}

void DownloadList::CancelActiveTransfer()
{
    CSingleLock hold(m_activeLock);
    m_bCancelled = true;
    if (m_pActiveTransfer)
        m_pActiveTransfer->RequestCancel();
}

bool DownloadList::PublishTransfer(HttpTransfer* transfer)
{
    CSingleLock hold(m_activeLock);
    if (m_bCancelled)
        return false;
    m_pActiveTransfer = transfer;
    return true;
}

void DownloadList::WithdrawTransfer()
{
    CSingleLock hold(m_activeLock);
    m_pActiveTransfer = nullptr;
}

static bool EndsWithExe(const std::string& path)
{
    return path.size() >= 4 && _stricmp(path.c_str() + path.size() - 4, ".exe") == 0;
}

DownloadError DownloadList::VerifyAll(bool deleteBad)
{
    for (DownloadItem* item : m_apItems) {
        const char* path = item->m_strLocalPath.c_str();
        CFileStatus status;
        if (!CFile::GetStatus(path, status))
            return FileNotFound;
        if ((LONGLONG)status.m_size < (LONGLONG)item->m_nMinimumSize) {
            if (deleteBad)
                DeleteFileA(path);
            return FileTooSmall;
        }
        if (EndsWithExe(item->m_strLocalPath)) {
            DWORD headerSum = 0, computedSum = 0;
            // A file whose sum cannot be computed is no more trustworthy
            // than one whose sum is wrong.
            if (MapFileAndCheckSumA(path, &headerSum, &computedSum) != CHECKSUM_SUCCESS ||
                headerSum != computedSum) {
                if (deleteBad)
                    DeleteFileA(path);
                return BadChecksum;
            }
        }
    }
    return NoError;
}

DownloadError DownloadList::QueryAllSizes(bool discardStale)
{
    for (DownloadItem* item : m_apItems) {
        DownloadError result = QuerySize(*item);
        if (result != NoError)
            return result;
        CheckLocalSize(*item);
        // The file changed on the server since the partial copy was begun:
        // its bytes cannot be continued. A copy that stays (locked, read-only
        // folder) would be resumed, the new file's tail appended to the old
        // file's head, so it stops the downloads instead.
        if (item->m_nKnownSize != 0 && item->m_nKnownSize != item->m_nServerSize) {
            if (discardStale && !DeleteFileA(item->m_strLocalPath.c_str()) &&
                GetFileAttributesA(item->m_strLocalPath.c_str()) != INVALID_FILE_ATTRIBUTES)
                return FileIOError;
            item->m_nLocalSize = 0;
            item->m_nKnownSize = item->m_nServerSize;
        }
    }
    m_bSizesKnown = true;
    return NoError;
}

DownloadError DownloadList::QuerySize(DownloadItem& item)
{
    // Published like a download, so that a cancel also ends a size query
    // that waits on a silent server.
    HttpTransfer transfer;
    if (!PublishTransfer(&transfer))
        return DownloadCancelled;
    int result = transfer.Fetch(m_pSession, item.m_strURL.c_str(), nullptr, TransferSizeOnly, nullptr, nullptr);
    WithdrawTransfer();
    item.m_nServerSize = result == TransferOK ? (UINT)transfer.m_nContentLength : 0;
    return TransferResultToDownloadError(result);
}

void DownloadList::CheckLocalSize(DownloadItem& item)
{
    CFileStatus status;
    item.m_nLocalSize = CFile::GetStatus(item.m_strLocalPath.c_str(), status) ? (UINT)status.m_size : 0;
}

DownloadError DownloadList::DownloadMissing()
{
    for (DownloadItem* item : m_apItems) {
        if (item->IsComplete())
            continue;
        DownloadError result = DownloadItemFile(*item);
        if (result != NoError)
            return result;
    }
    return NoError;
}

DownloadError DownloadList::DownloadItemFile(DownloadItem& item)
{
    HttpTransfer* transfer = new HttpTransfer;
    if (!PublishTransfer(transfer)) {
        delete transfer;
        return DownloadCancelled;
    }
    int result = transfer->Fetch(m_pSession, item.m_strURL.c_str(), item.m_strLocalPath.c_str(), 0, AddProgress,
                                 &item);
    WithdrawTransfer();
    delete transfer;
    return TransferResultToDownloadError(result);
}

void DownloadList::AddProgress(void* item, UINT count)
{
    ((DownloadItem*)item)->m_nLocalSize += count;
}

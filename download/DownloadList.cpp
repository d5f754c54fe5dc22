// The download list: progress totals for the UI, verification of finished
// files, and the per-item steps the download thread runs.
#include "download/DownloadList.h"
#include <cstring>
#include "download/HttpTransfer.h"
#include "framework/File.h"
#include "framework/Text.h"
#include "report/RunLog.h"

const DWORD kRetryWaitsMs[5] = {2000, 4000, 8000, 16000, 30000};

const char* DownloadErrorName(int code)
{
    static const char* const kNames[] = {"NoError",     "NetworkError", "FileIOError",      "FileTooSmall",
                                         "FileNotFound", "BadChecksum", "DownloadCancelled", "BadSignature",
                                         "NoSignatureCheck", "BadRelease", "NotAsReleased"};
    if (code < 0 || code >= (int)(sizeof kNames / sizeof kNames[0]))
        return "UnknownError";
    return kNames[code];
}

DownloadList::DownloadList(CInternetSession* session)
    : m_pSession(session), m_anRetryWaitsMs(kRetryWaitsMs, kRetryWaitsMs + 5),
      m_hCancelled(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

DownloadList::~DownloadList()
{
    ReleaseVerified();
    for (DownloadItem* item : m_apItems)
        delete item;
    if (m_hCancelled)
        CloseHandle(m_hCancelled);
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
    if (m_hCancelled)
        SetEvent(m_hCancelled);
    if (m_pActiveTransfer)
        m_pActiveTransfer->RequestCancel();
}

void DownloadList::AbortSilentTransfer(DWORD now)
{
    CSingleLock hold(m_activeLock);
    if (m_pActiveTransfer)
        m_pActiveTransfer->AbortIfSilent(now, kSilenceLimitMs);
}

bool DownloadList::WaitingToRetry(DWORD now, DWORD& msLeft) const
{
    DWORD at = m_dwRetryAt;
    if (!at)
        return false;
    msLeft = (int)(at - now) > 0 ? at - now : 0;
    return true;
}

template <class Attempt>
int DownloadList::WithRetries(const std::string& what, Attempt attempt)
{
    size_t next = 0;
    for (;;) {
        Try done = attempt();
        if (done.result == TransferOK || !TransferFailedForNetwork(done.result, done.status)) {
            m_bReconnecting = false;
            return done.result;
        }
        if (done.received >= kRetryFreshBytes)
            next = 0;
        if (next >= m_anRetryWaitsMs.size()) {
            m_bReconnecting = false;
            return done.result;
        }
        DWORD wait = m_anRetryWaitsMs[next++];
        if (m_pLog)
            m_pLog->Write("Retry", Format("%s: %s (transfer %d, HTTP %u), try %u in %u ms", what.c_str(),
                                          DownloadErrorName(TransferResultToDownloadError(done.result)),
                                          done.result, (unsigned)done.status, (unsigned)next + 1,
                                          (unsigned)wait)
                                       .c_str());
        m_bReconnecting = true;
        m_dwRetryAt = (GetTickCount() + wait) | 1;   // never 0, which means no wait
        bool cancelled = !m_hCancelled || WaitForSingleObject(m_hCancelled, wait) == WAIT_OBJECT_0;
        m_dwRetryAt = 0;
        if (cancelled) {
            m_bReconnecting = false;
            return TransferCancelled;
        }
    }
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

// The PE header checksum the image help library computes: 16-bit words
// summed with end-around carry, the checksum field counted as zero, plus
// the file's length. Read through the held handle; false when the file
// cannot be read or is no PE image.
bool ComputeHeaderChecksum(HANDLE file, DWORD& headerSum, DWORD& computedSum)
{
    DWORD size = GetFileSize(file, nullptr);
    BYTE dos[64];
    DWORD got = 0;
    if (size == INVALID_FILE_SIZE || SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0 ||
        !ReadFile(file, dos, sizeof dos, &got, nullptr) || got != sizeof dos || dos[0] != 'M' || dos[1] != 'Z')
        return false;
    ULONGLONG at = (ULONGLONG)(dos[0x3C] | dos[0x3D] << 8 | dos[0x3E] << 16 | (DWORD)dos[0x3F] << 24) + 0x58;
    if (at + 4 > size || at < sizeof dos)
        return false;
    DWORD field = (DWORD)at;

    static const DWORD kChunk = 65536;   // even: a word never straddles two reads
    std::vector<BYTE> buffer(kChunk);
    DWORD sum = 0, offset = 0;
    headerSum = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    while (offset < size) {
        if (!ReadFile(file, buffer.data(), kChunk, &got, nullptr) || got == 0)
            return false;
        // The header's own sum is taken out and counted as zero.
        for (DWORD pos = field; pos < field + 4; pos++) {
            if (pos >= offset && pos < offset + got) {
                headerSum |= (DWORD)buffer[pos - offset] << ((pos - field) * 8);
                buffer[pos - offset] = 0;
            }
        }
        for (DWORD i = 0; i < got; i += 2) {
            sum += buffer[i] | (i + 1 < got ? buffer[i + 1] << 8 : 0);
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
        offset += got;
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    computedSum = sum + size;
    return true;
}

// Opens the file for verification: shared for reading (and so running),
// never for writing, renaming or deleting while the handle stays open.
static HANDLE OpenHeld(const char* path)
{
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

DownloadError DownloadList::VerifyAll(bool deleteBad)
{
    ReleaseVerified();
    m_strRefusal.clear();
    for (DownloadItem* item : m_apItems) {
        const char* path = item->m_strLocalPath.c_str();
        CFileStatus status;
        if (!CFile::GetStatus(path, status))
            return FileNotFound;
        // Everything below reads through this handle, and it stays open: a
        // file swapped before it was opened is what gets checked, and after
        // that it cannot be swapped.
        HANDLE file = OpenHeld(path);
        DownloadError result = NoError;
        if (file == INVALID_HANDLE_VALUE) {
            // Someone else holds it open for writing: not a file to trust.
            result = EndsWithExe(item->m_strLocalPath) ? BadChecksum : FileIOError;
        } else {
            result = VerifyHeld(*item, file);
        }
        if (result == NoError) {
            m_ahVerified.push_back(file);
            continue;
        }
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if (deleteBad)
            DeleteFileA(path);
        ReleaseVerified();
        return result;
    }
    return NoError;
}

// The SHA-256 of the whole file, read through the handle; false when it
// cannot be read to its end.
static bool HashHeld(HANDLE file, DWORD size, Sha256Digest& digest)
{
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0)
        return false;
    Sha256Context context;
    std::vector<BYTE> buffer(65536);
    DWORD done = 0, got = 0;
    while (done < size) {
        if (!ReadFile(file, buffer.data(), (DWORD)buffer.size(), &got, nullptr) || got == 0)
            return false;
        context.Update(buffer.data(), got);
        done += got;
    }
    digest = context.Final();
    return done == size;
}

DownloadError DownloadList::VerifyHeld(DownloadItem& item, HANDLE file)
{
    DWORD size = GetFileSize(file, nullptr);
    if (size == INVALID_FILE_SIZE || (LONGLONG)size < (LONGLONG)item.m_nMinimumSize)
        return FileTooSmall;
    if (EndsWithExe(item.m_strLocalPath)) {
        DWORD headerSum = 0, computedSum = 0;
        // A file whose sum cannot be computed is no more trustworthy than
        // one whose sum is wrong.
        if (!ComputeHeaderChecksum(file, headerSum, computedSum) || headerSum != computedSum)
            return BadChecksum;
    }
    // The release is what makes a file trustworthy: plain HTTP carries it,
    // and a size or a header checksum anyone can recompute.
    if (!item.m_bReleased) {
        m_strRefusal = item.m_strLocalPath + ": not in an accepted release";
        return NotAsReleased;
    }
    if (size != item.m_nReleasedSize) {
        m_strRefusal = Format("%s: %u bytes, the release lists %u", item.m_strLocalPath.c_str(), (unsigned)size,
                              item.m_nReleasedSize);
        return NotAsReleased;
    }
    Sha256Digest digest;
    if (!HashHeld(file, size, digest)) {
        m_strRefusal = item.m_strLocalPath + ": unreadable";
        return FileIOError;
    }
    if (memcmp(digest.bytes, item.m_releasedHash.bytes, sizeof digest.bytes) != 0) {
        m_strRefusal = item.m_strLocalPath + ": SHA-256 " + Sha256Hex(digest) + ", the release lists " +
                       Sha256Hex(item.m_releasedHash);
        return NotAsReleased;
    }
    return NoError;
}

// The name a component has in the release: the last part of its address.
static std::string ReleaseName(const std::string& url)
{
    size_t slash = url.rfind('/');
    return slash == std::string::npos ? url : url.substr(slash + 1);
}

DownloadError DownloadList::FetchRelease(const std::string& releaseUrl, const std::string& savePath,
                                         const ReleaseKey* keys, size_t keyCount, DWORD minimumSerial)
{
    m_release = Release();
    m_strRefusal.clear();
    std::string text;
    HttpTransfer transfer;
    int result = WithRetries(ReleaseName(releaseUrl), [&] {
        if (!PublishTransfer(&transfer))
            return Try{TransferCancelled, 0, 0};
        int got = transfer.FetchWhole(m_pSession, releaseUrl.c_str(), kReleaseFileMaximum, text);
        WithdrawTransfer();
        return Try{got, transfer.m_dwStatus, 0};
    });
    if (result == TransferCancelled)
        return DownloadCancelled;
    if (result != TransferOK) {
        // An answer of the server's own (no release published, too long) is
        // the release's fault; no answer at all is the network's.
        if (transfer.m_dwStatus == 200 || (transfer.m_dwStatus >= 400 && transfer.m_dwStatus < 500)) {
            m_strRefusal = transfer.m_dwStatus == 200
                               ? Format("release.txt: longer than %u bytes", (unsigned)kReleaseFileMaximum)
                               : Format("release.txt: HTTP %u", (unsigned)transfer.m_dwStatus);
            return BadRelease;
        }
        return NetworkError;
    }
    Release release;
    std::string detail;
    if (CheckRelease(text, keys, keyCount, minimumSerial, release, detail) != ReleaseAccepted) {
        m_strRefusal = "release.txt: " + detail;
        return BadRelease;
    }
    for (DownloadItem* item : m_apItems) {
        const ReleaseEntry* entry = release.Find(ReleaseName(item->m_strURL));
        if (!entry) {
            m_strRefusal = Format("release.txt: serial %u lists no %s", (unsigned)release.serial,
                                  ReleaseName(item->m_strURL).c_str());
            return BadRelease;
        }
        item->m_bReleased = true;
        item->m_nReleasedSize = entry->size;
        item->m_releasedHash = entry->sha256;
    }
    // Kept beside the components for the installation step, which checks
    // it again before it trusts it.
    CFile saved;
    const UINT mode = CFile::modeCreate | CFile::modeCreateFresh | CFile::modeWrite;
    if (!savePath.empty() && saved.Open(savePath.c_str(), mode)) {
        try {
            saved.Write(text.data(), (UINT)text.size());
        } catch (const CException&) {
        }
    }
    m_release = release;
    return NoError;
}

bool DownloadList::HoldUnchanged(const std::string& path, const std::string& bytes)
{
    HANDLE file = OpenHeld(path.c_str());
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string read(bytes.size() + 1, '\0');   // one more: a longer file differs
    DWORD got = 0;
    if (!ReadFile(file, &read[0], (DWORD)read.size(), &got, nullptr) || read.compare(0, got, bytes) != 0 ||
        got != bytes.size()) {
        CloseHandle(file);
        return false;
    }
    m_ahVerified.push_back(file);
    return true;
}

void DownloadList::ReleaseVerified()
{
    for (HANDLE file : m_ahVerified)
        CloseHandle(file);
    m_ahVerified.clear();
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

DownloadError DownloadList::TransferError(const DownloadItem& item, const HttpTransfer& transfer, int result)
{
    if (result == TransferNotAsReleased)
        m_strRefusal = Format("%s: served with %d bytes, the release lists %u", item.m_strURL.c_str(),
                              transfer.m_nContentLength, item.m_nReleasedSize);
    return TransferResultToDownloadError(result);
}

DownloadError DownloadList::QuerySize(DownloadItem& item)
{
    // Published like a download, so that a cancel also ends a size query
    // that waits on a silent server.
    HttpTransfer transfer;
    transfer.m_nExpectedLength = item.m_nReleasedSize;
    int result = WithRetries(ReleaseName(item.m_strURL) + " length", [&] {
        if (!PublishTransfer(&transfer))
            return Try{TransferCancelled, 0, 0};
        int got = transfer.Fetch(m_pSession, item.m_strURL.c_str(), nullptr, TransferSizeOnly, nullptr, nullptr);
        WithdrawTransfer();
        return Try{got, transfer.m_dwStatus, 0};
    });
    item.m_nServerSize = result == TransferOK ? (UINT)transfer.m_nContentLength : 0;
    return TransferError(item, transfer, result);
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
    // A new transfer for every try, each resuming from the file's size.
    HttpTransfer* last = nullptr;
    int result = WithRetries(ReleaseName(item.m_strURL), [&] {
        delete last;
        last = new HttpTransfer;
        last->m_nExpectedLength = item.m_nReleasedSize;
        if (!PublishTransfer(last))
            return Try{TransferCancelled, 0, 0};
        int got = last->Fetch(m_pSession, item.m_strURL.c_str(), item.m_strLocalPath.c_str(), 0, AddProgress, &item);
        WithdrawTransfer();
        return Try{got, last->m_dwStatus, last->m_nBytesTransferred};
    });
    DownloadError error = TransferError(item, *last, result);
    delete last;
    return error;
}

void DownloadList::AddProgress(void* item, UINT count)
{
    ((DownloadItem*)item)->m_nLocalSize += count;
}

// Download items, the list that holds them and their verification.
#pragma once
#include <windows.h>
#include <atomic>
#include "framework/Lock.h"
#include <string>
#include <vector>
#include "download/DownloadError.h"
#include "download/ItemSizes.h"
#include "download/ReleaseFile.h"

class CInternetSession;
class CRunLog;
class HttpTransfer;

// The waits before the tries that follow a transfer failed for the network;
// once they are spent the failure stands.
extern const DWORD kRetryWaitsMs[5];
// A try that brings at least this many bytes starts the waits afresh: the
// network works, it only dropped. (A server that cuts every answer short
// brings less and less, and is given up on.)
const UINT kRetryFreshBytes = 262144;
// A request on which nothing has arrived for this long counts as lost.
const DWORD kSilenceLimitMs = 30000;

// One file to fetch. The two sizes are read by the UI thread while the
// download thread changes them, hence atomic.
class DownloadItem {
public:
    virtual ~DownloadItem() = default;

    bool IsComplete() const { return m_nServerSize.load() <= m_nLocalSize.load(); }

    std::atomic<UINT> m_nLocalSize{0};
    std::atomic<UINT> m_nServerSize{0};
    std::string m_strLocalPath;
    std::string m_strURL;
    UINT m_nKnownSize = 0;
    int m_nMinimumSize = 0;
    // What the release lists for this file, once it has been accepted.
    bool m_bReleased = false;
    UINT m_nReleasedSize = 0;
    Sha256Digest m_releasedHash = {};
};

class DownloadList {
public:
    explicit DownloadList(CInternetSession* session = nullptr);
    virtual ~DownloadList();
    DownloadList(const DownloadList&) = delete;
    DownloadList& operator=(const DownloadList&) = delete;

    bool AddItem(const std::string& url, const std::string& localPath, UINT knownSize, int minimumSize);
    UINT ItemCount() const { return (UINT)m_apItems.size(); }
    std::string ItemUrl(UINT index) const { return m_apItems[index]->m_strURL; }
    UINT ItemServerSize(UINT index) const { return m_apItems[index]->m_nServerSize; }
    DownloadItem& Item(UINT index) { return *m_apItems[index]; }

    // Progress, read by the UI thread without a lock.
    UINT TotalServerBytes() const;
    UINT TotalLocalBytes() const;
    bool AllComplete() const;
    bool SizesKnown() const { return m_bSizesKnown; }
    // Stops the running transfer, if any, and every later one, and ends a
    // wait before a new try: a cancel that comes between two transfers, or
    // before the first, is not lost.
    void CancelActiveTransfer();
    // Closes the running transfer's request when nothing has arrived on it
    // for kSilenceLimitMs: its try fails as a lost connection, and is tried
    // again. Called from the UI thread's timer.
    void AbortSilentTransfer(DWORD now);
    // While the list waits to try again after a failure of the network:
    // true with the milliseconds left.
    bool WaitingToRetry(DWORD now, DWORD& msLeft) const;
    // From a failure of the network until a try brings bytes or the tries
    // are spent.
    bool Reconnecting() const { return m_bReconnecting; }
    // Runs step unless the list has been cancelled. A cancel waits for a
    // step under way, so once CancelActiveTransfer has returned no step runs.
    template <class Step>
    bool UnlessCancelled(Step step)
    {
        CSingleLock hold(m_activeLock);
        if (m_bCancelled)
            return false;
        step();
        return true;
    }

    // The release: release.txt fetched whole from releaseUrl and checked
    // against keys and minimumSerial; every item must be listed in it, and
    // takes its size and SHA-256 from it. The accepted text is kept at
    // savePath, the serial in m_release. BadRelease (the reason in
    // m_strRefusal) when the file is missing, malformed, by no key, too
    // old or lacks an item; NetworkError when it cannot be fetched.
    DownloadError FetchRelease(const std::string& releaseUrl, const std::string& savePath, const ReleaseKey* keys,
                               size_t keyCount, DWORD minimumSerial);

    // Minimum sizes, executable header checksums and the release's sizes
    // and SHA-256 digests, in list order. Each file that passes stays open, readable and
    // runnable by others but not writable, renamable or deletable, until
    // ReleaseVerified: what was verified is what the install helper runs.
    // A refused file's reason lands in m_strRefusal.
    DownloadError VerifyAll(bool deleteBad);
    // Holds, like a verified file, a file the installer wrote itself, if
    // its bytes are still exactly those; false when they are not.
    bool HoldUnchanged(const std::string& path, const std::string& bytes);
    void ReleaseVerified();

    // The steps of the download thread.
    DownloadError QueryAllSizes(bool discardStale);
    DownloadError QuerySize(DownloadItem& item);
    void CheckLocalSize(DownloadItem& item);
    DownloadError DownloadMissing();
    DownloadError DownloadItemFile(DownloadItem& item);
    static void AddProgress(void* item, UINT count);

    // Fields, in declared order.
    std::atomic<bool> m_bSizesKnown{false};
    HttpTransfer* m_pActiveTransfer = nullptr;   // guarded by m_activeLock
    CInternetSession* m_pSession;
    std::vector<DownloadItem*> m_apItems;
    std::vector<HANDLE> m_ahVerified;
    std::string m_strRefusal;
    Release m_release;
    // The waits before new tries; tests shorten them.
    std::vector<DWORD> m_anRetryWaitsMs;
    // Where each new try is written down ("Retry" lines); none when null.
    CRunLog* m_pLog = nullptr;

private:
    struct Try {
        int result;
        DWORD status;   // of the try's last answer, 0 for none
        UINT received;  // bytes of the file it brought
    };
    // Runs attempt until it succeeds, fails for a reason a new try cannot
    // mend, or the waits are spent; returns the last transfer result
    // (TransferCancelled when a cancel ends a wait).
    template <class Attempt>
    int WithRetries(const std::string& what, Attempt attempt);
    // Makes the transfer the active one; false (and nothing published) once
    // the list has been cancelled.
    bool PublishTransfer(HttpTransfer* transfer);
    DownloadError VerifyHeld(DownloadItem& item, HANDLE file);
    // The transfer's result as a DownloadError; a length the release does
    // not list is named in m_strRefusal.
    DownloadError TransferError(const DownloadItem& item, const HttpTransfer& transfer, int result);
    void WithdrawTransfer();

    CCriticalSection m_activeLock;
    bool m_bCancelled = false;   // guarded by m_activeLock
    HANDLE m_hCancelled;         // set with m_bCancelled: ends a wait at once
    std::atomic<DWORD> m_dwRetryAt{0};   // tick of the next try, 0 when not waiting
    std::atomic<bool> m_bReconnecting{false};
};

// The header checksum field and the checksum computed over the file, read
// through the handle; false when it cannot be read or is no PE image.
bool ComputeHeaderChecksum(HANDLE file, DWORD& headerSum, DWORD& computedSum);

class CRunReports;

// What the download worker is handed.
struct DownloadJob {
    CRunReports& reports;
    CDownloadRecord& record;
    DownloadList* list;
    const std::atomic<bool>& cancel;
    std::string releaseUrl;    // release.txt on the install server
    std::string releasePath;   // where the accepted text is kept
    const ReleaseKey* keys;
    size_t keyCount;
    DWORD minimumSerial;       // the build's, or the highest accepted before
};
// The release, the sizes, the record, the missing bytes, verification; a
// failure is one error report, a cancel none.
void RunDownloads(DownloadJob& job);

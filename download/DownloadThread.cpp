// The download worker: sizes, stale partial files, the stored item list,
// the missing bytes, verification; failures become one error report.
#include "app/InstallerApp.h"
#include "app/MainFrame.h"
#include "download/DownloadList.h"
#include "framework/Text.h"
#include "ReleaseKeys.h"

// The worker's last action: from here on the frame may be destroyed.
static UINT EndDownloadThread(CMainFrame* frame)
{
    frame->m_hWorker = nullptr;
    return 0;
}

static void ReportDownloadError(CMainFrame* frame, DownloadError result)
{
    int category;
    switch (result) {
    case NetworkError:
    case FileTooSmall:
    case BadChecksum:
    case BadSignature:
    case BadRelease:     // altered on its way, most likely: the network's help
    case NotAsReleased:
        category = CategoryNetwork;
        break;
    case NoSignatureCheck:
        category = CategoryUnsupportedOS;
        break;
    case FileIOError:
    case FileNotFound:
        category = CategoryFileIO;
        break;
    default:
        return;   // a cancel is the user's choice, not a failure
    }
    frame->ReportError(category, Format("ThreadControl,%s", DownloadErrorName(result)).c_str(), true, true);
}

UINT DownloadThreadProc(void* param)
{
    CMainFrame* frame = (CMainFrame*)param;
    CInstallerApp* app = GetInstallerApp();
    if (frame->m_bCancel)
        return EndDownloadThread(frame);
    DownloadList* list = frame->m_pDownloads;
    if (!list) {
        frame->ReportError(CategoryGeneral, "", true, true);
        return EndDownloadThread(frame);
    }

    // Every new try after a failure of the network is a run-log line.
    list->m_pLog = &app->m_runLog;
    // The release first: it gives every length and digest the rest is
    // held to. Partial files stay whatever it says; they are checked
    // against the release that is accepted.
    DWORD minimumSerial = app->m_nReleaseSerial > ZEMBRIO_MIN_RELEASE_SERIAL ? app->m_nReleaseSerial
                                                                              : ZEMBRIO_MIN_RELEASE_SERIAL;
    std::vector<ReleaseKey> keys;
    for (const auto& key : kReleaseKeys)
        keys.push_back({key.modulus, key.length});
    DownloadError result = list->FetchRelease(Format("%s/release.txt", app->EndpointUrl(InstallBase)),
                                              app->m_strTempFolder + "\\release.txt", keys.data(), keys.size(),
                                              minimumSerial);
    if (result == NoError) {
        app->SaveReleaseSerial(list->m_release.serial);
        result = list->QueryAllSizes(true);
    }
    if (result == NoError) {
        if (frame->m_bCancel)
            return EndDownloadThread(frame);
        // The exit saves the same record from the same lists once it has
        // cancelled the list: the two never overlap.
        bool recorded = list->UnlessCancelled([app, list] {
            // A resumed run whose record holds no items yet (cancelled
            // before the sizes were known) records them now.
            if (app->m_bFreshStart || app->m_astrItemURL.empty()) {
                app->m_astrItemURL.clear();
                app->m_anItemSize.clear();
                for (UINT i = 0; i < list->ItemCount(); i++) {
                    app->m_astrItemURL.push_back(list->ItemUrl(i));
                    app->m_anItemSize.push_back(list->ItemServerSize(i));
                }
            }
            app->SaveProgressState();
        });
        if (!recorded || frame->m_bCancel)
            return EndDownloadThread(frame);
        result = list->DownloadMissing();
        if (result == NoError) {
            if (frame->m_bCancel)
                return EndDownloadThread(frame);
            // The UI moves on once every byte is here and this thread has
            // ended without a failure, so verification comes first.
            result = list->VerifyAll(true);
            if (result == NoError)
                return EndDownloadThread(frame);
        }
    }
    if (!list->m_strRefusal.empty() && !frame->m_bCancel)
        app->WriteRunLog("Refused", list->m_strRefusal);
    if (frame->m_bCancel)
        return EndDownloadThread(frame);
    ReportDownloadError(frame, result);
    return EndDownloadThread(frame);
}

bool StartDownloadThread(CMainFrame* frame)
{
    CWinThread* thread = AfxBeginThread(DownloadThreadProc, frame, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!thread)
        return false;
    thread->m_bAutoDelete = FALSE;
    frame->m_pDownloadThread = thread;
    frame->m_hWorker = thread->m_hThread;
    thread->ResumeThread();
    return true;
}

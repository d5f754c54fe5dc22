// The download worker: sizes, stale partial files, the stored item list,
// the missing bytes, verification; failures become one error report.
#include "download/DownloadList.h"
#include "framework/Text.h"
#include "report/RunReports.h"

static void ReportDownloadError(CRunReports& reports, DownloadError result)
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
    reports.ReportError(category, Format("ThreadControl,%s", DownloadErrorName(result)).c_str(), true, true);
}

void RunDownloads(DownloadJob& job)
{
    if (job.cancel)
        return;
    DownloadList* list = job.list;
    if (!list) {
        job.reports.ReportError(CategoryGeneral, "", true, true);
        return;
    }

    // Every new try after a failure of the network is a run-log line.
    list->m_pLog = &job.reports.RunLog();
    // The release first: it gives every length and digest the rest is
    // held to. Partial files stay whatever it says; they are checked
    // against the release that is accepted.
    DownloadError result =
        list->FetchRelease(job.releaseUrl, job.releasePath, job.keys, job.keyCount, job.minimumSerial);
    if (result == NoError) {
        job.record.SaveReleaseSerial(list->m_release.serial);
        result = list->QueryAllSizes(true);
    }
    if (result == NoError) {
        if (job.cancel)
            return;
        // The exit saves the same record from the same lists once it has
        // cancelled the list: the two never overlap.
        bool recorded = list->UnlessCancelled([&job, list] { job.record.RecordItems(*list); });
        if (!recorded || job.cancel)
            return;
        result = list->DownloadMissing();
        if (result == NoError) {
            if (job.cancel)
                return;
            // The UI moves on once every byte is here and this thread has
            // ended without a failure, so verification comes first.
            result = list->VerifyAll(true);
            if (result == NoError)
                return;
        }
    }
    if (!list->m_strRefusal.empty() && !job.cancel)
        job.reports.WriteRunLog("Refused", list->m_strRefusal);
    if (job.cancel)
        return;
    ReportDownloadError(job.reports, result);
}

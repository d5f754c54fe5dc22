// The installer's one window and its stage machine.
#pragma once
#include <windows.h>
#include <atomic>
#include <string>
#include "framework/Lock.h"
#include "framework/Thread.h"
#include "framework/Wnd.h"
#include "report/RunReports.h"
#include "ui/SkinControls.h"

class CEventReporter;
class DownloadList;
struct ITaskbarList3;

// Pure helpers of the layout and the progress display.
RECT PlaceWindow(const RECT& workArea);
std::string ProgressText(UINT received, UINT expected);
// "42% done - 12.3 of 29.4 MB - about 2 min left": the megabytes once the
// total is known, the time left once secondsLeft is 0 or more (whole
// minutes rounded up, seconds under a minute).
std::string DownloadProgressText(UINT received, UINT expected, int secondsLeft);
// What the progress says while the downloads wait to try again.
std::string RetryText(UINT received, UINT expected, bool sizesKnown, DWORD msLeft);

// The time the downloads still need, from the rate of the last 15 s.
class CTimeLeft {
public:
    void Reset() { m_nCount = 0; }
    void Add(DWORD now, UINT received);
    // -1 until 3 s of bytes have been seen, or while none arrive.
    int Seconds(DWORD now, UINT received, UINT remaining) const;

private:
    struct Sample {
        DWORD tick;
        UINT bytes;
    };
    static const UINT kSamples = 16;   // one a second
    Sample m_samples[kSamples];
    UINT m_nFirst = 0, m_nCount = 0;
};
// A progress text with the application title, the caption while minimized.
std::string ProgressCaption(const std::string& progress, const std::string& title);
UINT PageImageForStage(int stage, bool dotNetReady);
// Shown and enabled: a visitor could press it.
bool Pressable(HWND child);
// The error page's message for a report (a string id), and whether trying
// again in the same run can help.
UINT ErrorMessageFor(int category, const std::string& name, bool& retryHelps);
// The message in words; a disk-space report's name is the free megabytes.
std::string ErrorText(int category, const std::string& name);

// The stage machine's stages, by their numbers.
enum Stage {
    StageLicense = 0,       // the license, not yet agreed to
    StageAgreed = 1,        // the license agreed to
    StageDownloads = 2,     // the probe, the checks, the downloads
    StageInstalling = 3,    // the launch worker and its markers
    StageComplete = 4,      // Finish starts the product
    StageError = 5,
    StageCloseApp = 6,      // the main application runs and must be closed first
    StageNotice = 7,        // Vista and later: Windows will ask for permission
};

class CMainFrame : public CFrameWnd, public CFailureSink {
public:
    // Every report of the window and its workers goes to the reporter.
    explicit CMainFrame(CEventReporter& reporter);
    ~CMainFrame() override;

    BOOL PreCreateWindow(CREATESTRUCTA& cs) override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

    // Creates the window and its controls; the license is streamed in only
    // on a fresh start. Without withLicense the license control is left for
    // CreateLicenseControl: the rich edit library is not needed before the
    // frame's first paint, the control's own paint comes from the message
    // loop.
    BOOL CreateInstallerWindow(bool streamLicense, bool withLicense = true);
    BOOL CreateLicenseControl();
    // Streams the license into its control: at start, once the frame has
    // painted and before the control's own first paint, which comes from
    // the message loop.
    void LoadLicenseText();
    // The progress bar, hidden until the downloads; made after the first
    // paint.
    BOOL CreateProgressBar();

    BOOL SetStage(int stage);
    // Stage 2 after the connectivity probe: free space and checks; then,
    // posted as kSelfInstallMessage, the self-installation; then the
    // downloads.
    BOOL StartDownloads();
    BOOL OnSelfInstall();
    void BeginDownloads();
    void WaitForWorker();
    // Asks every worker to stop: the cancel flag and event, and the download
    // list's cancel, which also ends a transfer waiting on a silent server.
    void CancelWorkers();
    // Cancels, then waits for the workers' threads until kWorkerStopMs after
    // the first cancel; true when none runs anymore.
    bool StopWorkers();
    // The help address of the error page: error reports on the workers
    // store it while the UI thread reads it.
    std::string ErrorLink() const;
    void SetErrorLink(const std::string& link);
    // The report the error page tells of: its category and name.
    void ErrorReport(int& category, std::string& name) const;

    // Reports (error reports mark the run failed and ask for the error page).
    void ReportError(int category, const char* name, bool showErrorPage = true, bool markFailed = true)
    {
        m_reports.ReportError(category, name, showErrorPage, markFailed);
    }
    void ReportEvent(int category, const char* name) { m_reports.ReportEvent(category, name); }
    // What the rooms below report through: the frame is their failure sink.
    CRunReports& Reports() { return m_reports; }
    void MarkFailed() override { m_bFailed = true; }
    void ShowErrorPage(int category, const char* name, const std::string& helpUrl) override;

    // Stage 2 and 3 work.
    // The connectivity probe on a thread of its own; its answer comes back
    // as kProbeDoneMessage, which goes on with the download stage.
    void StartProbe();
    void OnProbeDone(bool reached);
    void CheckPrerequisites();
    void PrepareInstallTasks();

    // Handlers.
    void OnNext();
    void OnCancel();
    void OnClose();
    void OnFinish();
    void OnCheckbox();
    // Try again on the error page: the failure cleared, every downloaded
    // byte kept, the download stage entered as a resumed start enters it.
    void OnRetry();
    // Enter: the page's main button; Esc: Cancel where it can be pressed.
    void OnEnterKey();
    void OnEscapeKey();
    void OnTimer(UINT_PTR id);
    void OnPaint();

    // The download stage is over: every item complete and the download
    // worker ended without a marked failure (it verifies after the bytes
    // arrive, so complete bytes alone are not enough).
    bool DownloadsFinished() const;
    // The launch worker, created suspended without automatic deletion; null
    // when it cannot be created.
    CWinThread* StartLaunchThread();
    // Keeps a launch worker that was given up on alive until the frame goes.
    void AbandonLaunchThread();
    // Stage 2 replaces the download list and the download worker's object:
    // false while a worker runs; otherwise an ended worker's object is freed.
    bool ReleaseEndedDownloadWorker();

    // How long the window's end waits for the workers after the first cancel.
    static const DWORD kWorkerStopMs = 2000;
    // Posted by the launch worker once the .NET update is installed.
    static const UINT kDotNetInstalledMessage = WM_APP + 1;
    // Posted by the probe's thread: wParam is whether the install server
    // was reached.
    static const UINT kProbeDoneMessage = WM_APP + 2;
    // Posted by StartDownloads: the self-installation's step of stage 2.
    static const UINT kSelfInstallMessage = WM_APP + 3;
    // The record stops asking for the .NET update.
    void OnDotNetInstalled();

    // Members, in declared order.
    int m_nLastBytesShown = -1;
    CWinThread* m_pDownloadThread = nullptr;
    std::atomic<UINT> m_nSystemType{0};
    int m_nStage = 0;

private:
    std::string m_strErrorLink;   // guarded by m_errorLinkLock
    bool m_bErrorKnown = false;   // guarded by m_errorLinkLock: a report since the last Try again
    int m_nErrorCategory = 1;     // guarded by m_errorLinkLock
    std::string m_strErrorName;   // guarded by m_errorLinkLock

public:
    std::string m_strGoodiesLink;
    std::string m_strTaskFileText;   // the task file's bytes as written
    std::atomic<bool> m_bFailed{false};
    std::atomic<bool> m_bDotNetReady{false};
    DownloadList* m_pDownloads = nullptr;
    CWinThread* m_pLaunchThread = nullptr;
    std::atomic<HANDLE> m_hWorker{nullptr};
    CTimeLeft m_timeLeft;
    // The error page's words and its Try again button.
    CSkinLabel m_wndErrorText;
    CSkinButton m_btnRetry{1061};
    std::string m_strProgressShown;   // the download progress text last shown
    UINT m_nBytesAtRetry = 0;         // the bytes received when the last wait to try again ended
    std::atomic<bool> m_bCancel{false};
    HANDLE m_hCancelEvent;   // set with m_bCancel, for workers that wait
    CWinThread* m_pAbandonedThread = nullptr;
    CWinThread* m_pProbeThread = nullptr;
    bool m_bProbing = false;   // from the probe's start until its answer is taken

private:
    // Gives the focus to the page's first control a visitor can use: always
    // when the page changes, otherwise only when the focused control can no
    // longer be used.
    void FocusPage(bool pageChanged);
    RECT AgreeFocusRect() const;
    HWND m_hLastFocus = nullptr;   // kept while another window is active
    UINT m_nFocusedPage = 0;       // the page image the focus was placed for
    // The taskbar button shows the download progress where Windows offers
    // it (7 and later); state is one of the list's TBPF_ flags.
    void ShowTaskbarProgress(int state, UINT received = 0, UINT expected = 0);
    ITaskbarList3* m_pTaskbar = nullptr;
    bool m_bTaskbarLooked = false;

    CEventReporter& m_reporter;
    CRunReports m_reports;   // after the reporter, which it reports through
    mutable CCriticalSection m_errorLinkLock;
    DWORD m_dwFirstCancel = 0;   // tick of the first CancelWorkers
    bool m_bCancelTimed = false;
};

// The main window's stage machine, its handlers and its workers' start;
// layout and painting are in MainFrameLayout.cpp.
#include "app/MainFrame.h"
#include <shellapi.h>
#include <shobjidl.h>
#include "app/InstallerApp.h"
#include "app/Resource.h"
#include "download/DownloadList.h"
#include "framework/SystemLibrary.h"
#include "framework/Text.h"
#include "report/ConnectivityProbe.h"
#include "system/Prerequisites.h"

CMainFrame::CMainFrame(CEventReporter& reporter)
    : m_hCancelEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)), m_reporter(reporter),
      m_reports(reporter.Log(), reporter, *this)
{
}

CMainFrame::~CMainFrame()
{
    // Destroy while this class's handlers still run (WM_DESTROY cancels the
    // downloads), then make sure no worker still uses the list or the frame.
    DestroyWindow();
    WaitForWorker();
    // A worker clears m_hWorker just before it returns and its thread object
    // is used until the thread's very end: wait for the threads themselves,
    // including a launch worker the idle wait gave up on. The exit does not
    // come here while one is blocked on the network (StopWorkers).
    CancelWorkers();
    for (CWinThread* thread : {m_pDownloadThread, m_pLaunchThread, m_pAbandonedThread, m_pProbeThread})
        if (thread && thread->m_hThread)
            WaitForSingleObject(thread->m_hThread, INFINITE);
    delete m_pProbeThread;
    delete m_pAbandonedThread;
    delete m_pDownloadThread;
    delete m_pLaunchThread;
    delete m_pDownloads;
    if (m_hCancelEvent)
        CloseHandle(m_hCancelEvent);
    if (m_pTaskbar)
        m_pTaskbar->Release();
}

void CMainFrame::WaitForWorker()
{
    HANDLE worker = m_hWorker.load();
    if (!worker)
        return;
    CancelWorkers();
    MsgWaitForMultipleObjects(1, &worker, FALSE, 10000, QS_ALLINPUT);
}

void CMainFrame::CancelWorkers()
{
    if (!m_bCancelTimed) {
        m_bCancelTimed = true;
        m_dwFirstCancel = GetTickCount();
    }
    m_bCancel = true;
    if (m_hCancelEvent)
        SetEvent(m_hCancelEvent);
    if (m_pDownloads)
        m_pDownloads->CancelActiveTransfer();
}

bool CMainFrame::StopWorkers()
{
    CancelWorkers();
    bool ended = true;
    for (CWinThread* thread : {m_pDownloadThread, m_pLaunchThread, m_pAbandonedThread, m_pProbeThread}) {
        if (!thread || !thread->m_hThread)
            continue;
        DWORD waited = GetTickCount() - m_dwFirstCancel;
        DWORD left = waited < kWorkerStopMs ? kWorkerStopMs - waited : 0;
        if (WaitForSingleObject(thread->m_hThread, left) != WAIT_OBJECT_0)
            ended = false;
    }
    return ended;
}

// False while the thread runs; an ended thread's object is freed.
static bool ReleaseEnded(CWinThread*& thread)
{
    if (!thread)
        return true;
    if (WaitForSingleObject(thread->m_hThread, 0) != WAIT_OBJECT_0)
        return false;
    delete thread;
    thread = nullptr;
    return true;
}

bool CMainFrame::ReleaseEndedDownloadWorker()
{
    return !m_hWorker.load() && ReleaseEnded(m_pDownloadThread);
}

void CMainFrame::ShowErrorPage(int category, const char* name, const std::string& helpUrl)
{
    {
        // The first failure is the cause; the reports that follow it (a
        // worker's end, a second name for the same probe) are its
        // consequences, and the page keeps telling of the first.
        CSingleLock hold(m_errorLinkLock);
        if (!m_bErrorKnown) {
            m_bErrorKnown = true;
            m_nErrorCategory = category;
            m_strErrorName = name ? name : "";
            m_strErrorLink = helpUrl;
        }
    }
    PostMessage(WM_APP, 0, 0);
}

void CMainFrame::ErrorReport(int& category, std::string& name) const
{
    CSingleLock hold(m_errorLinkLock);
    category = m_nErrorCategory;
    name = m_strErrorName;
}

UINT ErrorMessageFor(int category, const std::string& name, bool& retryHelps)
{
    retryHelps = false;
    if (name == "elevationdeclined") {
        retryHelps = true;
        return IDS_ERROR_ELEVATION;
    }
    switch (category) {
    case CategoryNetwork: {
        retryHelps = true;
        // A file that arrived but is not the published one.
        static const char* const kRefused[] = {"BadRelease", "NotAsReleased", "BadChecksum", "FileTooSmall",
                                               "BadSignature"};
        for (const char* refusal : kRefused)
            if (name == std::string("ThreadControl,") + refusal)
                return IDS_ERROR_REFUSED;
        return IDS_ERROR_NETWORK;
    }
    case CategoryDiskSpace:
        retryHelps = true;
        return IDS_ERROR_DISK_SPACE;
    case CategoryPermissions:
        return IDS_ERROR_PERMISSIONS;
    case CategoryUnsupportedOS:
        return IDS_ERROR_OLD_WINDOWS;
    case CategoryFileIO:
        return IDS_ERROR_FILE;
    }
    return IDS_ERROR_GENERAL;
}

std::string ErrorText(int category, const std::string& name)
{
    bool retry;
    std::string text = LoadResString(ErrorMessageFor(category, name, retry));
    size_t at = text.find("%s");
    if (at != std::string::npos) {
        // The report's own number, and nothing else, goes into the words.
        std::string number = name.substr(0, name.find_first_not_of("0123456789"));
        text.replace(at, 2, number.empty() ? "fewer than 200" : number);
    }
    return text;
}


std::string CMainFrame::ErrorLink() const
{
    CSingleLock hold(m_errorLinkLock);
    return m_strErrorLink;
}

void CMainFrame::SetErrorLink(const std::string& link)
{
    CSingleLock hold(m_errorLinkLock);
    m_strErrorLink = link;
}

static void Show(CWnd& wnd, bool shown)
{
    wnd.ShowWindow(shown ? SW_SHOW : SW_HIDE);
}

static void Enable(CWnd& wnd, bool on)
{
    wnd.EnableWindow(on);
}

// What each stage shows and enables, a character a control, in the order of
// kStageControls: '+' shown (enabled), '-' hidden (disabled), '.' left as
// the stage before had it.
static const struct {
    const char* shown;
    const char* enabled;
} kStageControls[8] = {
    //          LANHFCXZPGBT    LANHFCXZPGBT
    /* 0 */ {"............", "..-........."},   // license, not yet agreed
    /* 1 */ {"............", "..+........."},   // license agreed
    /* 2 */ {"---++-...+.+", "---+-+......"},   // downloads
    /* 3 */ {"..-.+....-+-", "....-.--...."},   // installation
    /* 4 */ {"...-....----", "....+.++...."},   // complete
    /* 5 */ {"----+-+.+---", "---.+--++..."},   // error
    /* 6 */ {"---..+...-..", "---+-+......"},   // close the main application
    /* 7 */ {"--+--.+.----", "--+.-.++-..."},   // notice before the installation
};

BOOL CMainFrame::SetStage(int stage)
{
    // Again during the probe or the downloads (command 32780), or while the
    // launch worker runs: the running worker keeps its list.
    if (stage == StageDownloads && (m_bProbing || !ReleaseEnded(m_pProbeThread) || !ReleaseEndedDownloadWorker()))
        return FALSE;
    if (stage < 0 || stage > StageNotice)
        return FALSE;
    CInstallerApp* app = GetInstallerApp();
    m_nStage = stage;
    if (stage != StageDownloads)
        ShowTaskbarProgress(TBPF_NOPROGRESS);
    if (stage != StageError) {
        Show(m_wndErrorText, false);
        Show(m_btnRetry, false);
    }

    // Before the controls change: the timers of the stage left; a failure
    // marked meanwhile keeps the error page.
    switch (stage) {
    case StageInstalling:
    case StageNotice:
        KillTimer(ID_DOWNLOAD_UI_TIMER);
        if (m_bFailed)
            return FALSE;
        break;
    case StageComplete:
        KillTimer(ID_INSTALLER_RUNNING_UI_TIMER);
        if (m_bFailed)
            return FALSE;
        break;
    case StageError: {
        KillTimer(ID_INSTALLER_RUNNING_UI_TIMER);
        int category;
        std::string name;
        ErrorReport(category, name);
        bool retryHelps;
        ErrorMessageFor(category, name, retryHelps);
        m_wndErrorText.SetWindowText(ErrorText(category, name));
        Show(m_wndErrorText, true);
        Show(m_btnRetry, retryHelps);
        Enable(m_btnRetry, retryHelps);
        app->m_lnkHelp.SetWindowText(LoadResString(IDS_HELP_LINK));
        break;
    }
    }

    CWnd* const controls[] = {&app->m_wndLicense, &app->m_btnAgree,  &app->m_btnNext,  &app->m_btnHide,
                              &app->m_btnFinish,  &app->m_btnContinue, &app->m_btnCancel, &app->m_btnClose,
                              &app->m_lnkHelp,    &app->m_lnkGoodies, &app->m_wndProgress, &app->m_wndProgressText};
    for (size_t i = 0; i < sizeof controls / sizeof controls[0]; i++) {
        char shown = kStageControls[stage].shown[i], enabled = kStageControls[stage].enabled[i];
        if (shown != '.')
            Show(*controls[i], shown == '+');
        if (enabled != '.')
            Enable(*controls[i], enabled == '+');
    }

    // After: what the stage starts.
    switch (stage) {
    case StageAgreed:
        app->m_bUIFlag = TRUE;
        break;
    case StageDownloads:
        app->m_lnkGoodies.SetWindowText("Zembrio Free Goodies");
        m_strGoodiesLink = app->EndpointUrl(FreeGoodiesPage);
        // The probe may take a while (a start at logon comes before the
        // network): the page says so meanwhile.
        app->m_wndProgressText.SetWindowText("Connecting...");
        break;
    case StageInstalling:
        app->m_wndProgress.SetPos(0);
        SetTimer(ID_INSTALLER_RUNNING_UI_TIMER, 1000);
        m_pLaunchThread = StartLaunchThread();
        if (!m_pLaunchThread) {
            ReportError(CategoryGeneral, "cantcreatelaunchthread", true, true);
            return FALSE;
        }
        break;
    case StageComplete:
        app->m_wndProgress.SetPos(0);
        // fall through: the window comes back from the taskbar
    case StageError:
    case StageNotice:
        if (IsIconic())
            ShowWindow(SW_SHOWNORMAL);
        break;
    }

    // A page shown for the first time starts at its first control.
    UINT page = PageImageForStage(stage, m_bDotNetReady);
    FocusPage(page != m_nFocusedPage);
    m_nFocusedPage = page;
    InvalidateRect(m_hWnd, nullptr, TRUE);
    UpdateWindow();
    // Painted: the probe's answer finishes the download stage.
    if (stage == StageDownloads)
        StartProbe();
    return TRUE;
}

// Shown and enabled: a visitor could press it.
bool Pressable(HWND child)
{
    return child && (GetWindowLongA(child, GWL_STYLE) & WS_VISIBLE) && ::IsWindowEnabled(child);
}

// A child the visitor can reach with Tab now.
static bool Usable(HWND child)
{
    return child && (GetWindowLongA(child, GWL_STYLE) & WS_TABSTOP) && Pressable(child);
}

void CMainFrame::FocusPage(bool pageChanged)
{
    HWND focus = GetFocus();
    bool kept = focus && IsChild(m_hWnd, focus) && Usable(focus);
    if (!pageChanged && kept)
        return;
    for (HWND child = GetWindow(m_hWnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (Usable(child)) {
            // Only while the window is the active one: focus in an inactive
            // window would take activation from the visitor's other window.
            if (GetActiveWindow() == m_hWnd)
                ::SetFocus(child);
            m_hLastFocus = child;
            return;
        }
    }
    // No control to use (the installation runs): the frame keeps the keys.
    if (GetActiveWindow() == m_hWnd && (!focus || !kept))
        ::SetFocus(m_hWnd);
    m_hLastFocus = nullptr;
}

void CMainFrame::OnEnterKey()
{
    CInstallerApp* app = GetInstallerApp();
    CWnd* main[] = {&m_btnRetry, &app->m_btnContinue, &app->m_btnNext, &app->m_btnFinish};
    for (CWnd* button : main) {
        HWND hwnd = button->m_hWnd;
        if (Pressable(hwnd)) {
            SendMessage(WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hwnd), BN_CLICKED), (LPARAM)hwnd);
            return;
        }
    }
}

void CMainFrame::OnEscapeKey()
{
    HWND cancel = GetInstallerApp()->m_btnCancel.m_hWnd;
    if (Pressable(cancel))
        OnCancel();
}

void CMainFrame::OnRetry()
{
    if (m_nStage != 5 || !m_bFailed || m_bCancel || !Pressable(m_btnRetry.m_hWnd))
        return;
    // The failed worker ends right after its report; one still running (or
    // an installation step) keeps the page as it is.
    if (m_pDownloadThread && WaitForSingleObject(m_pDownloadThread->m_hThread, 1000) != WAIT_OBJECT_0)
        return;
    if (m_pLaunchThread)
        return;
    CInstallerApp* app = GetInstallerApp();
    ReportEvent(CategoryGeneral, "userclickedretry");
    m_bFailed = false;
    {
        CSingleLock hold(m_errorLinkLock);
        m_bErrorKnown = false;
    }
    // As the Resume shortcut starts: from the record, once the checks and
    // the self-installation are in it; before that, they come again.
    if (app->ChecksRecorded())
        app->m_bFreshStart = FALSE;
    Show(app->m_lnkHelp, false);
    Enable(app->m_lnkHelp, false);
    Enable(app->m_btnCancel, true);
    if (!SetStage(IsMainAppRunning() ? 6 : 2))
        SetStage(5);
}

static UINT ProbeThread(void* param)
{
    CMainFrame* frame = (CMainFrame*)param;
    CInstallerApp* app = GetInstallerApp();
    bool reached = ProbeConnectivity(app->m_pSession, app->EndpointUrl(SiteRoot), frame->m_hCancelEvent);
    // The frame outlives this thread: its end waits for it.
    PostMessageA(frame->m_hWnd, CMainFrame::kProbeDoneMessage, reached, 0);
    return 0;
}

void CMainFrame::StartProbe()
{
    m_bProbing = true;
    m_pProbeThread = AfxBeginThread(ProbeThread, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!m_pProbeThread) {
        // Without a thread the window waits, as it always did.
        CInstallerApp* app = GetInstallerApp();
        OnProbeDone(ProbeConnectivity(app->m_pSession, app->EndpointUrl(SiteRoot), m_hCancelEvent));
        return;
    }
    m_pProbeThread->m_bAutoDelete = FALSE;
    m_pProbeThread->ResumeThread();
}

void CMainFrame::OnProbeDone(bool reached)
{
    // Only the answer of the probe this stage started, and only while the
    // stage stands: a cancel or an error page has moved on.
    if (!m_bProbing)
        return;
    m_bProbing = false;
    if (m_bCancel || m_nStage != 2)
        return;
    if (!reached) {
        ReportError(CategoryNetwork, "nonetworkavailable", true, true);
        ReportError(CategoryNetwork, "novalidconnection", true, true);
        return;
    }
    StartDownloads();
}

// Stage 2 once the network answers: the free space, then the checks of a
// fresh start (the record's results on a resumption). The self-installation
// and the downloads follow as messages of their own, so the window answers
// between these steps (the shortcuts alone take a good part of a second
// under a slow disk or an emulator).
BOOL CMainFrame::StartDownloads()
{
    CInstallerApp* app = GetInstallerApp();
    UINT freeMb = FreeMegabytes(app->m_astrShellFolder[FolderWindowsSystem]);
    if (freeMb < 200) {
        ReportError(CategoryDiskSpace, Format("%d", (int)freeMb).c_str(), true, true);
        return FALSE;
    }
    if (app->m_bFreshStart || !app->ChecksRecorded()) {
        CheckPrerequisites();
        if (m_bFailed) {
            // A refused system gets no copy, no downloads and no record
            // to resume from: the next start shows the license again.
            app->m_bUIFlag = FALSE;
            app->SaveStartState();
            return FALSE;
        }
        PostMessage(kSelfInstallMessage);
        return TRUE;
    }
    m_nSystemType = app->m_nSystemType;
    m_bDotNetReady = !(m_nSystemType & NeedDotNet);
    BeginDownloads();
    return TRUE;
}

// The self-installation after the checks (none on Vista), then the record
// of both and the downloads.
BOOL CMainFrame::OnSelfInstall()
{
    // A cancel or an error page may have come in between.
    if (m_bCancel || m_bFailed || m_nStage != 2)
        return FALSE;
    CInstallerApp* app = GetInstallerApp();
    if (!(m_nSystemType & WindowsVista) && !app->InstallSelf()) {
        // The quiet copy removes what was made by the record's paths.
        // Those paths would also pass for checks already made, with none
        // of their results recorded: the next start is a fresh one, which
        // checks and installs itself again.
        app->m_bUIFlag = FALSE;
        app->SaveStartState();
        app->SaveProgressState();
        app->RelaunchFromWorkingFolder(true);
        return FALSE;
    }
    app->m_nSystemType = m_nSystemType;
    // The resume shortcuts exist from here on: a run that is killed or
    // loses power before its exit must still be resumable, and the
    // shortcuts removable.
    app->SaveStartState();
    app->SaveProgressState();
    BeginDownloads();
    return TRUE;
}

void CMainFrame::BeginDownloads()
{
    CInstallerApp* app = GetInstallerApp();
    Show(app->m_wndProgress, true);
    Show(app->m_wndProgressText, true);
    app->m_wndProgress.SetPos(0);
    app->m_wndProgressText.SetWindowText("");
    m_strProgressShown.clear();
    m_timeLeft.Reset();
    SetTimer(ID_DOWNLOAD_UI_TIMER, 100);
    PrepareInstallTasks();
    // Painted with the next messages, not before this one is answered.
    InvalidateRect(m_hWnd, nullptr, TRUE);
}

void CMainFrame::OnNext()
{
    if (IsMainAppRunning())
        SetStage(6);
    else if (m_nStage == 7)
        SetStage(3);
    else
        SetStage(2);
}

void CMainFrame::OnCheckbox()
{
    int check = GetInstallerApp()->m_btnAgree.GetCheck();
    if (check == BST_CHECKED)
        SetStage(1);
    else if (check == BST_UNCHECKED)
        SetStage(0);
}

void CMainFrame::OnCancel()
{
    CInstallerApp* app = GetInstallerApp();
    if (!app->m_bCompleted)
        ReportEvent(CategoryGeneral, "userclickedcancel");
    CancelWorkers();
    if (app->m_bCompleted) {
        if (m_nSystemType & WindowsVista)
            CInstallerApp::PurgeFolder(app->m_strTempPath);
        else
            app->RelaunchFromWorkingFolder(true);
    }
    PostQuitMessage(0);
}

// Recorded at once: a run killed after the update resumes without
// installing it again.
void CMainFrame::OnDotNetInstalled()
{
    CInstallerApp* app = GetInstallerApp();
    app->m_nSystemType &= ~NeedDotNet;
    app->SaveStartState();
}

void CMainFrame::OnClose()
{
    WaitForWorker();
    OnCancel();
}

void CMainFrame::ShowTaskbarProgress(int state, UINT received, UINT expected)
{
    if (!m_bTaskbarLooked) {
        if (state == TBPF_NOPROGRESS)
            return;
        m_bTaskbarLooked = true;
        // Windows before 7 has no such interface: nothing is shown there.
        void* taskbar = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                       &taskbar))) {
            m_pTaskbar = (ITaskbarList3*)taskbar;
            if (FAILED(m_pTaskbar->HrInit())) {
                m_pTaskbar->Release();
                m_pTaskbar = nullptr;
            }
        }
    }
    if (!m_pTaskbar)
        return;
    m_pTaskbar->SetProgressState(m_hWnd, (TBPFLAG)state);
    if (state == TBPF_NORMAL || state == TBPF_PAUSED)
        m_pTaskbar->SetProgressValue(m_hWnd, received, expected ? expected : 1);
}

void CMainFrame::OnTimer(UINT_PTR id)
{
    CInstallerApp* app = GetInstallerApp();
    if (id == ID_DOWNLOAD_UI_TIMER) {
        if (!m_pDownloads)
            return;
        DWORD now = GetTickCount();
        m_pDownloads->AbortSilentTransfer(now);
        DWORD retryMs = 0;
        bool waiting = m_pDownloads->WaitingToRetry(now, retryMs);
        bool sizesKnown = m_pDownloads->SizesKnown();
        bool reconnecting = m_pDownloads->Reconnecting();
        if (!sizesKnown && !waiting && !reconnecting)
            return;
        UINT received = sizesKnown ? m_pDownloads->TotalLocalBytes() : 0;
        UINT expected = sizesKnown ? m_pDownloads->TotalServerBytes() : 0;
        std::string text;
        if (waiting) {
            // The rate before the drop says nothing of the one after it.
            m_timeLeft.Reset();
            m_nBytesAtRetry = received;
            text = RetryText(received, expected, sizesKnown, retryMs);
        } else if (reconnecting && (!sizesKnown || received == m_nBytesAtRetry)) {
            // The new try has brought nothing yet.
            text = sizesKnown ? ProgressText(received, expected) + " done - reconnecting..." : "Reconnecting...";
        } else {
            m_timeLeft.Add(now, received);
            text = DownloadProgressText(received, expected,
                                        m_timeLeft.Seconds(now, received, expected > received ? expected - received : 0));
        }
        // The last bytes arrive before the worker has verified them: keep
        // looking until it has ended.
        if (text == m_strProgressShown && !DownloadsFinished())
            return;
        std::string percent = ProgressText(received, expected);
        if (sizesKnown)
            ShowTaskbarProgress(waiting ? TBPF_PAUSED : TBPF_NORMAL, received, expected);
        if (IsIconic()) {
            SetWindowText(ProgressCaption(sizesKnown ? percent : text, app->m_strAppName));
        } else {
            if (sizesKnown)
                app->m_wndProgress.SetPos(atoi(percent.c_str()));
            app->m_wndProgressText.SetWindowText(text);
        }
        m_strProgressShown = text;
        m_nLastBytesShown = (int)received;
        if (DownloadsFinished())
            SetStage((m_nSystemType & WindowsVista) ? 7 : 3);
    } else if (id == ID_INSTALLER_RUNNING_UI_TIMER) {
        if (!IsIconic()) {
            int pos = app->m_wndProgress.GetPos() + 1;
            app->m_wndProgress.SetPos(pos > 100 ? 0 : pos);
        } else {
            SetWindowText(ProgressCaption("Installing...", app->m_strAppName));
        }
    }
}

LRESULT CMainFrame::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_SETFOCUS:
        // Activation focuses the frame: the focus goes on to the control
        // that had it, or to the page's first.
        if (m_hLastFocus && IsChild(m_hWnd, m_hLastFocus) && Usable(m_hLastFocus))
            ::SetFocus(m_hLastFocus);
        else
            FocusPage(true);
        return 0;
    case WM_NCPAINT:
        return 0;
    case WM_NCHITTEST:
        return HTCAPTION;
    case WM_NCCALCSIZE: {
        RECT* rc = (RECT*)lParam;
        RECT window = *rc;
        LRESULT r = CFrameWnd::WindowProc(msg, wParam, lParam);
        int cx = GetSystemMetrics(SM_CXEDGE), cy = GetSystemMetrics(SM_CYEDGE);
        rc->left -= cx;
        rc->right += cx;
        rc->top -= cy;
        rc->bottom += cy;
        // Windows keeps a client area inside its window; Wine takes a larger
        // one as given, which would shift the page and every control.
        IntersectRect(rc, rc, &window);
        return r;
    }
    case WM_PAINT:
        OnPaint();
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_ACTIVE || LOWORD(wParam) == WA_CLICKACTIVE)
            InvalidateRect(m_hWnd, nullptr, FALSE);
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(m_hWnd, focus))
                m_hLastFocus = focus;
        }
        break;
    case WM_ACTIVATEAPP:
        return DefWindowProcA(m_hWnd, msg, wParam, lParam);
    case WM_TIMER:
        OnTimer(wParam);
        return 0;
    case WM_SIZE: {
        LRESULT r = CFrameWnd::WindowProc(msg, wParam, lParam);
        if (wParam == SIZE_RESTORED || wParam == SIZE_MAXIMIZED)
            SetWindowText(GetInstallerApp()->m_strAppName);
        return r;
    }
    case WM_QUERYENDSESSION:
        if (!CFrameWnd::WindowProc(msg, wParam, lParam))
            return FALSE;
        ReportEvent(CategoryGeneral, "windowsexiting");
        // The session may end soon after this answer: stop the workers now.
        CancelWorkers();
        PostQuitMessage(0);
        return TRUE;
    case WM_DESTROY: {
        ForgetSymbolButtonNames(GetInstallerApp()->m_btnMinimize.m_hWnd, GetInstallerApp()->m_btnClose.m_hWnd);
        LRESULT r = CFrameWnd::WindowProc(msg, wParam, lParam);
        // Up to 2 s for the download worker to notice, no longer than it
        // needs.
        if (m_nStage == 2 && m_pDownloads)
            StopWorkers();
        return r;
    }
    case WM_CLOSE: {
        // Alt+F4, the taskbar's Close and the system menu's Close (SC_CLOSE
        // arrives as WM_CLOSE) are the close box: its handling where it is
        // enabled, nothing where it is off or hidden. The base class would
        // destroy the window in any stage, the installation's included, and
        // skip the clean-up of the completion page.
        HWND box = GetInstallerApp()->m_btnClose.m_hWnd;
        if (box && (GetWindowLongA(box, GWL_STYLE) & WS_VISIBLE) && ::IsWindowEnabled(box))
            OnClose();
        return 0;
    }
    case WM_APP:
        SetStage(5);
        return 0;
    case kSelfInstallMessage:
        OnSelfInstall();
        return 0;
    case kProbeDoneMessage:
        OnProbeDone(wParam != 0);
        return 0;
    case kDotNetInstalledMessage:
        OnDotNetInstalled();
        return 0;
    case WM_COMMAND:
        // The box's focus is drawn around it, on the page.
        if (LOWORD(wParam) == ID_CHECKBOX && (HIWORD(wParam) == BN_SETFOCUS || HIWORD(wParam) == BN_KILLFOCUS)) {
            RECT ring = AgreeFocusRect();
            InvalidateRect(m_hWnd, &ring, TRUE);
            return 0;
        }
        // Clicks only: the controls' other notifications are not commands.
        if (HIWORD(wParam) != BN_CLICKED)
            break;
        switch (LOWORD(wParam)) {
        // Enter and Esc, as the dialog navigation of the message loop sends
        // them.
        case IDOK: OnEnterKey(); return 0;
        case IDCANCEL: OnEscapeKey(); return 0;
        case ID_RETRY: OnRetry(); return 0;
        case ID_NEXT: OnNext(); return 0;
        case ID_HIDE:
        case ID_MINIMIZE: ShowWindow(SW_MINIMIZE); return 0;
        case ID_CANCEL: OnCancel(); return 0;
        case ID_CLOSE: OnClose(); return 0;
        case ID_AUTO_START_COMMAND: SetStage(2); return 0;
        case ID_FINISH: OnFinish(); return 0;
        case ID_CHECKBOX: OnCheckbox(); return 0;
        case ID_LINK: ShellExecuteLate(nullptr, "open", ErrorLink().c_str(), nullptr, nullptr, SW_SHOWNORMAL); return 0;
        case ID_GOODIES_LINK:
            ShellExecuteLate(nullptr, "open", m_strGoodiesLink.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
            return 0;
        }
        break;
    }
    return CFrameWnd::WindowProc(msg, wParam, lParam);
}

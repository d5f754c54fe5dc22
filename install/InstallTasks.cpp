#include "install/InstallTasks.h"
#include <cstdio>
#include <cstring>
#include <shellapi.h>
#include "app/InstallerApp.h"
#include "app/MainFrame.h"
#include "download/DownloadList.h"
#include "framework/SystemLibrary.h"
#include "framework/Text.h"
#include "system/Prerequisites.h"

static const char kTaskFile[] = "installhelpertasks.txt";
static const char kDotNetArgs[] = "/q:a /c:\"install /l /q\"";
static const char kSetupArgs[] = "/s /v\"/qn\"";

void (*g_pfnMarkerSleep)(DWORD) = [](DWORD ms) { Sleep(ms); };
DWORD(WINAPI* g_pfnGetShortPathName)(LPCSTR, LPSTR, DWORD) = GetShortPathNameA;

static std::string WorkingFile(const char* name)
{
    return Format("%s\\%s", GetInstallerApp()->m_strTempFolder.c_str(), name);
}

static std::string ComponentUrl(const char* name)
{
    return Format("%s/%s", GetInstallerApp()->EndpointUrl(InstallBase), name);
}

std::string FormatTaskLine(const std::string& program, const char* arguments, const std::string& startMarker,
                           const std::string& successMarker, const std::string& failureMarker, int seconds)
{
    return Format("%s,%s,%s,%s,%s,%d", program.c_str(), arguments, startMarker.c_str(), successMarker.c_str(),
                  failureMarker.c_str(), seconds);
}

// The task file's fields are split at every comma, without quoting, and a
// working folder may have one ("C:\Users\Smith, John\..."): its paths are
// then written on the folder's short form. Every path of a task line lies in
// the working folder, whose own file names have no comma, so the folder is
// all that needs shortening. False when no comma-free form can be had (8.3
// names disabled on the volume, say).
static bool TaskLineFolder(const std::string& folder, std::string& out)
{
    out = folder;
    if (folder.find(',') == std::string::npos)
        return true;
    char shortPath[MAX_PATH] = "";
    DWORD len = g_pfnGetShortPathName(folder.c_str(), shortPath, MAX_PATH);
    if (len == 0 || len >= MAX_PATH || strchr(shortPath, ','))
        return false;
    out = shortPath;
    return true;
}

// The line, then CR LF through a text-mode stream, which makes each LF a
// CR LF: every task line ends in CR CR LF, as the install helper expects.
static bool WriteTaskLine(FILE* file, const std::string& line, std::string& written)
{
    if (fputs(line.c_str(), file) < 0 || fputs("\r\n", file) < 0 || fflush(file) != 0)
        return false;
    written += line + "\r\r\n";
    return true;
}

void CMainFrame::PrepareInstallTasks()
{
    CInstallerApp* app = GetInstallerApp();

    // 1.
    delete m_pDownloads;
    m_pDownloads = new DownloadList(app->m_pSession);

    // 2. A quote or line break in the folder would add a task line or break
    // the helper's command line: refused before anything is written.
    if (HasQuoteOrLineBreak(app->m_strTempFolder)) {
        ReportError(CategoryFileIO, "quoteorlinebreakintempfolder", true, true);
        return;
    }
    m_strTaskFileText.clear();
    FILE* tasks = fopen(WorkingFile(kTaskFile).c_str(), "wt");
    if (!tasks) {
        ReportError(CategoryFileIO, "cantcreateinputfile", true, true);
        return;
    }
    std::string folder;
    if (!TaskLineFolder(app->m_strTempFolder, folder)) {
        fclose(tasks);
        ReportError(CategoryFileIO, "commaintempfolder", true, true);
        return;
    }
    auto taskPath = [&folder](const char* name) { return Format("%s\\%s", folder.c_str(), name); };

    // 3. The install helper is always fetched; it has no task line.
    std::string url = ComponentUrl("installhelper.exe");
    std::string path = WorkingFile("installhelper.exe");
    app->WriteRunLog("InstallHelper.exe Download", url + " " + path);
    m_pDownloads->AddItem(url, path, app->RememberedItemSize(url), 10240);

    // 4. The .NET Framework update first, when it is needed.
    if (m_nSystemType & NeedDotNet) {
        url = ComponentUrl("dotnetfx.exe");
        path = WorkingFile("dotnetfx.exe");
        app->WriteRunLog("Dotnetfx.exe Download", url + " " + path);
        ReportEvent(CategoryGeneral, "dotnetfxexe");
        m_pDownloads->AddItem(url, path, app->RememberedItemSize(url), 20971520);
        std::string line = FormatTaskLine(taskPath("dotnetfx.exe"), kDotNetArgs, taskPath("dotnetinstallstart"),
                                          taskPath("dotnetinstallsucceeded"), taskPath("dotnetinstallfailed"), 900);
        if (!WriteTaskLine(tasks, line, m_strTaskFileText)) {
            fclose(tasks);
            ReportError(CategoryFileIO, "cantwriteinputfile1", true, true);
            return;
        }
    }

    // 5. The product's set-up, always last.
    const char* setup = (m_nSystemType & NeedMdac) ? "setupm.exe" : "setup.exe";
    url = ComponentUrl(setup);
    path = WorkingFile(setup);
    app->WriteRunLog("Installer Download", url + " " + path);
    ReportEvent(CategoryGeneral, setup);
    m_pDownloads->AddItem(url, path, app->RememberedItemSize(url), 20971520);
    std::string line = FormatTaskLine(taskPath(setup), kSetupArgs, taskPath("setupinstallstart"),
                                      taskPath("setupinstallsucceeded"), taskPath("setupinstallfailed"), 240);
    if (!WriteTaskLine(tasks, line, m_strTaskFileText)) {
        fclose(tasks);
        ReportError(CategoryFileIO, "cantwriteinputfile2", true, true);
        return;
    }

    // 6.
    fclose(tasks);
    // Without the worker the download stage would wait forever.
    if (!StartDownloadThread(this))
        ReportError(CategoryGeneral, "cantcreatedownloadthread", true, true);
}

int WaitForMarker(const std::atomic<bool>& cancel, const std::string& done, const char* fail, int interval, int count)
{
    for (int i = 0; i < count && !cancel; i++) {
        g_pfnMarkerSleep(interval * 1000);
        if (PathExists(done))
            return MarkerDone;
        if (fail && PathExists(fail))
            return MarkerFailed;
    }
    return MarkerTimedOut;
}

// Reports a failed step of the installation, marking the run failed first.
static void LaunchFailed(CMainFrame* frame, const char* name, int category = CategoryGeneral)
{
    frame->m_bFailed = true;
    frame->ReportError(category, name, true, true);
}

// Markers are left behind by every earlier attempt: a failure marker would
// fail a retry at once, a success marker would report a set-up that has not
// run. None may be there when the helper starts; one that cannot be removed
// is an error, not a result.
static bool RemoveStaleMarkers()
{
    static const char* const kMarkers[] = {"dotnetinstallstart", "dotnetinstallsucceeded", "dotnetinstallfailed",
                                           "setupinstallstart",  "setupinstallsucceeded",  "setupinstallfailed"};
    for (const char* name : kMarkers) {
        std::string path = WorkingFile(name);
        DeleteFileA(path.c_str());
        if (PathExists(path))
            return false;
    }
    return true;
}

// After a whole installation the helper has nothing left to start: once it
// has ended, the files it ran may be let go. It is given a few seconds.
static bool HelperEnded(HANDLE helper, const std::atomic<bool>& cancel)
{
    for (int i = 0; i < 10 && !cancel; i++)
        if (WaitForSingleObject(helper, 1000) != WAIT_TIMEOUT)
            return true;
    return false;
}

UINT LaunchThread(void* param)
{
    CMainFrame* frame = (CMainFrame*)param;
    CInstallerApp* app = GetInstallerApp();
    // Every way out clears the frame's worker handle last. The verified
    // files stay held while the helper might still start one of them: after
    // a failure, a cancel or a helper that does not end, until the list goes.
    struct WorkerEnd {
        CMainFrame* frame;
        HANDLE helper = nullptr;
        bool installed = false;
        ~WorkerEnd()
        {
            if (helper) {
                if (installed && frame->m_pDownloads && HelperEnded(helper, frame->m_bCancel))
                    frame->m_pDownloads->ReleaseVerified();
                CloseHandle(helper);
            }
            frame->m_hWorker = nullptr;
        }
    } end{frame};

    // 1.
    if (frame->m_bCancel)
        return 0;

    // 2.
    std::string program = WorkingFile("installhelper.exe");
    std::string args = Format("%s %s %s %s %s", "-silent", "-inputfile", kTaskFile, "-logfile", "installhelperlog.txt");
    app->WriteRunLog("InstallHelper", program);
    app->WriteRunLog("InstallHelperArgs", args);

    if (!RemoveStaleMarkers()) {
        LaunchFailed(frame, "cantdeletemarker", CategoryFileIO);
        return 0;
    }
    // The task file names what the helper runs, and any program of the user
    // can write the working folder: it must still hold exactly what was
    // written, and is held so from here on, like the verified programs.
    if (!frame->m_pDownloads || !frame->m_pDownloads->HoldUnchanged(WorkingFile(kTaskFile), frame->m_strTaskFileText)) {
        LaunchFailed(frame, "taskfilechanged", CategoryFileIO);
        return 0;
    }

    // 3. The process handle tells when the helper has ended.
    SHELLEXECUTEINFOA launch = {};
    launch.cbSize = sizeof launch;
    launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    launch.lpVerb = "open";
    launch.lpFile = program.c_str();
    launch.lpParameters = args.c_str();
    launch.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExLate(&launch) || (INT_PTR)launch.hInstApp <= 32) {
        LaunchFailed(frame, "cantlaunchinstallhelper");
        return 0;
    }
    end.helper = launch.hProcess;

    // 4.
    if (frame->m_bCancel)
        return 0;

    // 5. The .NET Framework update, when it was needed.
    if (frame->m_nSystemType & NeedDotNet) {
        if (WaitForMarker(frame->m_bCancel, WorkingFile("dotnetinstallstart"), nullptr, 1, 30) == MarkerTimedOut) {
            if (!frame->m_bCancel)
                LaunchFailed(frame, "dotnetfxexedidntstart");
            return 0;
        }
        if (frame->m_bCancel)
            return 0;
        std::string failed = WorkingFile("dotnetinstallfailed");
        switch (WaitForMarker(frame->m_bCancel, WorkingFile("dotnetinstallsucceeded"), failed.c_str(), 1, 900)) {
        case MarkerTimedOut:
            if (!frame->m_bCancel)
                LaunchFailed(frame, "dotnetfxexedidntfinish");
            return 0;
        case MarkerFailed:
            LaunchFailed(frame, "dotnetfxexefailed");
            return 0;
        default:
            frame->m_bDotNetReady = true;
            frame->m_nSystemType &= ~NeedDotNet;
            // The UI thread repaints: stage 3 switches to the completing page.
            RedrawWindow(frame->m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE);
            frame->PostMessage(CMainFrame::kDotNetInstalledMessage, 0, 0);
            break;
        }
    }

    // 6.
    if (frame->m_bCancel)
        return 0;

    // 7. The product's set-up.
    if (WaitForMarker(frame->m_bCancel, WorkingFile("setupinstallstart"), nullptr, 1, 30) == MarkerTimedOut) {
        if (!frame->m_bCancel)
            LaunchFailed(frame, "setupexedidntstart");
        return 0;
    }
    if (frame->m_bCancel)
        return 0;

    // 8.
    std::string failed = WorkingFile("setupinstallfailed");
    switch (WaitForMarker(frame->m_bCancel, WorkingFile("setupinstallsucceeded"), failed.c_str(), 1, 240)) {
    case MarkerTimedOut:
        if (!frame->m_bCancel)
            LaunchFailed(frame, "setupexedidntfinish");
        break;
    case MarkerFailed:
        LaunchFailed(frame, "setupexefailed");
        break;
    default:
        end.installed = true;
        break;
    }
    // 9.
    return 0;
}

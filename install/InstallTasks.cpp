#include "install/InstallTasks.h"
#include <cstring>
#include "download/DownloadList.h"
#include "download/ItemSizes.h"
#include "framework/SystemLibrary.h"
#include "framework/Text.h"
#include "install/InstallStep.h"
#include "report/RunReports.h"
#include "system/Prerequisites.h"
#include "system/SystemType.h"

void (*g_pfnMarkerSleep)(DWORD) = [](DWORD ms) { Sleep(ms); };
BOOL (*g_pfnShellExecuteEx)(SHELLEXECUTEINFOA*) = ShellExecuteExLate;

bool PlanInstallTasks(const InstallTasksJob& job, DownloadList& list, std::string& taskText)
{
    CRunReports& reports = job.reports;
    // A component: its address and local path logged, its event reported
    // where it has one, then registered with the size the record holds.
    auto add = [&](const char* name, const char* logName, const char* event, int minimumSize) {
        std::string url = Format("%s/%s", job.installBase.c_str(), name);
        std::string path = InFolder(job.workingFolder, name);
        reports.WriteRunLog(logName, url + " " + path);
        if (event)
            reports.ReportEvent(CategoryGeneral, event);
        list.AddItem(url, path, job.sizes.RememberedItemSize(url), minimumSize);
    };

    // 2. A quote or line break in the folder would add a task line or break
    // a command line: refused before anything is written. On the Vista path
    // the installation step writes the task file in a folder of its own.
    if (HasQuoteOrLineBreak(job.workingFolder)) {
        reports.ReportError(CategoryFileIO, "quoteorlinebreakintempfolder", true, true);
        return false;
    }
    taskText.clear();
    const bool writeTasks = !(job.systemType & WindowsVista);
    // Made anew: a name planted in the working folder (a link to another
    // file) is removed, never written through.
    CFile tasks;
    if (writeTasks && !tasks.Open(InFolder(job.workingFolder, kTaskFile).c_str(),
                                  CFile::modeCreate | CFile::modeCreateFresh | CFile::modeWrite)) {
        reports.ReportError(CategoryFileIO, "cantcreateinputfile", true, true);
        return false;
    }
    std::string folder;
    if (writeTasks && !TaskLineFolder(job.workingFolder, folder)) {
        reports.ReportError(CategoryFileIO, "commaintempfolder", true, true);
        return false;
    }

    // 3. The install helper is always fetched; it has no task line.
    add("installhelper.exe", "InstallHelper.exe Download", nullptr, 10240);

    // 4. The .NET Framework update first, when it is needed.
    if (job.systemType & NeedDotNet) {
        add("dotnetfx.exe", "Dotnetfx.exe Download", "dotnetfxexe", 20971520);
        if (writeTasks && !WriteTaskLine(tasks, folder, *FindInstallTask("dotnetfx.exe"), taskText)) {
            reports.ReportError(CategoryFileIO, "cantwriteinputfile1", true, true);
            return false;
        }
    }

    // 5. The product's set-up, always last.
    const char* setup = (job.systemType & NeedMdac) ? "setupm.exe" : "setup.exe";
    add(setup, "Installer Download", setup, 20971520);
    if (writeTasks && !WriteTaskLine(tasks, folder, *FindInstallTask(setup), taskText)) {
        reports.ReportError(CategoryFileIO, "cantwriteinputfile2", true, true);
        return false;
    }

    // 6. The caller starts the download worker.
    tasks.Close();
    return true;
}

bool MarkerSource::Ended()
{
    if (m_step && m_exitCode == STILL_ACTIVE && WaitForSingleObject(m_step, 0) == WAIT_OBJECT_0 &&
        !GetExitCodeProcess(m_step, &m_exitCode))
        m_exitCode = 0;   // unreadable: an ended step that says nothing
    return m_exitCode != STILL_ACTIVE;
}

bool MarkerSource::Exists(const char* name) const
{
    if (m_exitCode == STILL_ACTIVE)
        return PathExists(m_folder + "\\" + name);
    if (!IsInstallStepCode(m_exitCode))
        return false;
    for (int i = 0; i < 6; i++)
        if (!strcmp(kMarkerNames[i], name))
            return (m_exitCode >> (8 + i)) & 1;
    return false;
}

const char* MarkerSource::StepError(int& category) const
{
    return m_exitCode == STILL_ACTIVE ? nullptr : InstallStepError(m_exitCode, category);
}

int WaitForMarker(const std::atomic<bool>& cancel, MarkerSource& markers, const char* done, const char* fail,
                  int interval, int count)
{
    for (int i = 0; i < count && !cancel; i++) {
        g_pfnMarkerSleep(interval * 1000);
        bool ended = markers.Ended();
        if (markers.Exists(done))
            return MarkerDone;
        if (fail && markers.Exists(fail))
            return MarkerFailed;
        if (ended)
            break;
    }
    return MarkerTimedOut;
}

// Reports a failed step of the installation, marking the run failed first.
static void LaunchFailed(LaunchJob& job, const char* name, int category = CategoryGeneral)
{
    job.failed = true;
    job.reports.ReportError(category, name, true, true);
}

// Markers are left behind by every earlier attempt: a failure marker would
// fail a retry at once, a success marker would report a set-up that has not
// run. None may be there when the helper starts; one that cannot be removed
// is an error, not a result.
static bool RemoveStaleMarkers(const std::string& folder)
{
    for (const char* name : kMarkerNames) {
        std::string path = InFolder(folder, name);
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

// Vista and later: the installation step, elevated, makes folder (a new
// name in the Windows folder's Temp) and runs the helper there; the process
// is the step's. The prompt's "No" is an error of its own: the visitor may
// well try again.
static const char* StartInstallStep(LaunchJob& job, const std::string& folder, HANDLE& process, int& category)
{
    InstallStepRequest request;
    request.workingFolder = job.workingFolder;
    request.folderName = folder.substr(folder.rfind('\\') + 1);
    request.serial = job.downloads ? job.downloads->m_release.serial : 0;
    request.dotNet = job.systemType & NeedDotNet;
    request.setup = (job.systemType & NeedMdac) ? "setupm.exe" : "setup.exe";
    std::string parameters = FormatInstallStep(request);
    job.reports.WriteRunLog("InstallStep", parameters);
    char system[MAX_PATH] = "";
    GetSystemDirectoryA(system, MAX_PATH);

    SHELLEXECUTEINFOA launch = {};
    launch.cbSize = sizeof launch;
    launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    launch.hwnd = job.window;   // the prompt belongs to the window, in front of it
    launch.lpVerb = "runas";
    launch.lpFile = job.exePath.c_str();
    launch.lpParameters = parameters.c_str();
    launch.lpDirectory = system;   // not one of the visitor's folders
    launch.nShow = SW_HIDE;
    category = CategoryGeneral;
    if (!g_pfnShellExecuteEx(&launch)) {
        if (GetLastError() != ERROR_CANCELLED)
            return "cantlaunchinstallhelper";
        category = CategoryPermissions;
        return "elevationdeclined";
    }
    if (!launch.hProcess)
        return "cantlaunchinstallhelper";
    process = launch.hProcess;
    return nullptr;
}

void RunLaunch(LaunchJob& job)
{
    // The verified files stay held while the helper might still start one
    // of them: after a failure, a cancel or a helper that does not end,
    // until the list goes.
    struct HelperEnd {
        LaunchJob& job;
        HANDLE helper = nullptr;
        bool installed = false;
        ~HelperEnd()
        {
            if (!helper)
                return;
            if (installed && job.downloads && HelperEnded(helper, job.cancel))
                job.downloads->ReleaseVerified();
            CloseHandle(helper);
        }
    } end{job};
    const std::atomic<bool>& cancel = job.cancel;

    // 1.
    if (cancel)
        return;

    // 2. On the Vista path the helper runs from the installation step's
    // folder, never from the working folder, which the visitor can write.
    const bool elevated = job.systemType & WindowsVista;
    std::string folder = job.workingFolder;
    if (elevated) {
        char windows[MAX_PATH] = "";
        GetWindowsDirectoryA(windows, MAX_PATH);
        folder = Format("%s\\Temp\\%s", windows, NewInstallFolderName().c_str());
    }
    std::string program = InFolder(folder, "installhelper.exe");
    job.reports.WriteRunLog("InstallHelper", program);
    job.reports.WriteRunLog("InstallHelperArgs", kHelperArguments);

    if (!elevated) {
        if (!RemoveStaleMarkers(folder)) {
            LaunchFailed(job, "cantdeletemarker", CategoryFileIO);
            return;
        }
        // The task file names what the helper runs, and any program of the
        // user can write the working folder: it must still hold exactly what
        // was written, and is held so from here on, like the verified programs.
        if (!job.downloads || !job.downloads->HoldUnchanged(InFolder(folder, kTaskFile), job.taskText)) {
            LaunchFailed(job, "taskfilechanged", CategoryFileIO);
            return;
        }
    }

    // 3. The process handle tells when the helper (or the step) has ended.
    if (elevated) {
        int category = CategoryGeneral;
        const char* error = folder.back() == '\\' ? "cantlaunchinstallhelper"   // no random name to be had
                                                   : StartInstallStep(job, folder, end.helper, category);
        if (error) {
            LaunchFailed(job, error, category);
            return;
        }
    } else {
        SHELLEXECUTEINFOA launch = {};
        launch.cbSize = sizeof launch;
        launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
        launch.lpVerb = "open";
        launch.lpFile = program.c_str();
        launch.lpParameters = kHelperArguments;
        launch.nShow = SW_SHOWNORMAL;
        if (!g_pfnShellExecuteEx(&launch) || (INT_PTR)launch.hInstApp <= 32) {
            LaunchFailed(job, "cantlaunchinstallhelper");
            return;
        }
        end.helper = launch.hProcess;
    }
    MarkerSource markers(folder, elevated ? end.helper : nullptr);

    // 4 to 8: a start marker, then a result, for each task in order; the
    // .NET update's result also turns the page. A wait that ends without its
    // marker reports the step's own failure where it has one, else the
    // wait's; a cancel ends every wait without a report.
    struct Task {
        const char* start;
        const char* succeeded;
        const char* failed;
        int seconds;
        const char* didntStart;
        const char* didntFinish;
        const char* failure;
    };
    static const Task kDotNet = {"dotnetinstallstart", "dotnetinstallsucceeded", "dotnetinstallfailed", 900,
                                 "dotnetfxexedidntstart", "dotnetfxexedidntfinish", "dotnetfxexefailed"};
    static const Task kSetup = {"setupinstallstart", "setupinstallsucceeded", "setupinstallfailed", 240,
                                "setupexedidntstart", "setupexedidntfinish", "setupexefailed"};
    auto timedOut = [&](const char* name) {
        if (cancel)
            return;
        int category = CategoryGeneral;
        const char* error = markers.StepError(category);
        if (!error)
            LaunchFailed(job, name);
        else
            LaunchFailed(job, error, category);
    };
    auto follow = [&](const Task& task) {
        if (cancel)
            return false;
        if (WaitForMarker(cancel, markers, task.start, nullptr, 1, 30) == MarkerTimedOut) {
            timedOut(task.didntStart);
            return false;
        }
        if (cancel)
            return false;
        switch (WaitForMarker(cancel, markers, task.succeeded, task.failed, 1, task.seconds)) {
        case MarkerTimedOut:
            timedOut(task.didntFinish);
            return false;
        case MarkerFailed:
            LaunchFailed(job, task.failure);
            return false;
        default:
            return true;
        }
    };
    if (job.systemType & NeedDotNet) {
        if (!follow(kDotNet))
            return;
        job.dotNetReady = true;
        job.systemType &= ~NeedDotNet;
        // The UI thread repaints: stage 3 switches to the completing page.
        RedrawWindow(job.window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE);
        PostMessageA(job.window, job.dotNetInstalledMessage, 0, 0);
    }
    end.installed = follow(kSetup);
    // 9. The caller clears the worker handle.
}

#include "install/InstallTasks.h"
#include <cstring>
#include "app/InstallerApp.h"
#include "app/MainFrame.h"
#include "download/DownloadList.h"
#include "framework/SystemLibrary.h"
#include "framework/Text.h"
#include "install/InstallStep.h"
#include "system/Prerequisites.h"

const char kTaskFile[] = "installhelpertasks.txt";
const char kHelperArguments[] = "-silent -inputfile installhelpertasks.txt -logfile installhelperlog.txt";
const char* const kMarkerNames[6] = {"dotnetinstallstart", "dotnetinstallsucceeded", "dotnetinstallfailed",
                                     "setupinstallstart",  "setupinstallsucceeded",  "setupinstallfailed"};

static const InstallTask kTasks[] = {
    {"dotnetfx.exe", "/q:a /c:\"install /l /q\"", "dotnet", 900},
    {"setup.exe", "/s /v\"/qn\"", "setup", 240},
    {"setupm.exe", "/s /v\"/qn\"", "setup", 240},
};

void (*g_pfnMarkerSleep)(DWORD) = [](DWORD ms) { Sleep(ms); };
DWORD(WINAPI* g_pfnGetShortPathName)(LPCSTR, LPSTR, DWORD) = GetShortPathNameA;
BOOL (*g_pfnShellExecuteEx)(SHELLEXECUTEINFOA*) = ShellExecuteExLate;

const InstallTask* FindInstallTask(const std::string& program)
{
    for (const InstallTask& task : kTasks)
        if (!lstrcmpiA(task.program, program.c_str()))
            return &task;
    return nullptr;
}

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

// A working folder may have a comma ("C:\Users\Smith, John\..."). Every path
// of a task line lies in one folder, whose own file names have no comma, so
// the folder is all that needs shortening.
bool TaskLineFolder(const std::string& folder, std::string& out)
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

bool WriteTaskLine(CFile& file, const std::string& folder, const InstallTask& task, std::string& written)
{
    auto path = [&folder](const char* name) { return folder + "\\" + name; };
    std::string marker = path(task.markers);
    std::string line = FormatTaskLine(path(task.program), task.arguments, marker + "installstart",
                                      marker + "installsucceeded", marker + "installfailed", task.seconds) +
                       "\r\r\n";
    try {
        file.Write(line.data(), (UINT)line.size());
    } catch (const CException&) {
        return false;
    }
    written += line;
    return true;
}

void CMainFrame::PrepareInstallTasks()
{
    CInstallerApp* app = GetInstallerApp();

    // 1.
    delete m_pDownloads;
    m_pDownloads = new DownloadList(app->m_pSession);

    // 2. A quote or line break in the folder would add a task line or break
    // a command line: refused before anything is written. On the Vista path
    // the installation step writes the task file in a folder of its own.
    if (HasQuoteOrLineBreak(app->m_strTempFolder)) {
        ReportError(CategoryFileIO, "quoteorlinebreakintempfolder", true, true);
        return;
    }
    m_strTaskFileText.clear();
    const bool writeTasks = !(m_nSystemType & WindowsVista);
    // Made anew: a name planted in the working folder (a link to another
    // file) is removed, never written through.
    CFile tasks;
    if (writeTasks && !tasks.Open(WorkingFile(kTaskFile).c_str(),
                                  CFile::modeCreate | CFile::modeCreateFresh | CFile::modeWrite)) {
        ReportError(CategoryFileIO, "cantcreateinputfile", true, true);
        return;
    }
    std::string folder;
    if (writeTasks && !TaskLineFolder(app->m_strTempFolder, folder)) {
        ReportError(CategoryFileIO, "commaintempfolder", true, true);
        return;
    }

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
        if (writeTasks && !WriteTaskLine(tasks, folder, *FindInstallTask("dotnetfx.exe"), m_strTaskFileText)) {
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
    if (writeTasks && !WriteTaskLine(tasks, folder, *FindInstallTask(setup), m_strTaskFileText)) {
        ReportError(CategoryFileIO, "cantwriteinputfile2", true, true);
        return;
    }

    // 6.
    tasks.Close();
    // Without the worker the download stage would wait forever.
    if (!StartDownloadThread(this))
        ReportError(CategoryGeneral, "cantcreatedownloadthread", true, true);
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
    for (const char* name : kMarkerNames) {
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

// Vista and later: the installation step, elevated, makes folder (a new
// name in the Windows folder's Temp) and runs the helper there; the process
// is the step's. The prompt's "No" is an error of its own: the visitor may
// well try again.
static const char* StartInstallStep(CMainFrame* frame, const std::string& folder, HANDLE& process, int& category)
{
    CInstallerApp* app = GetInstallerApp();
    InstallStepRequest request;
    request.workingFolder = app->m_strTempFolder;
    request.folderName = folder.substr(folder.rfind('\\') + 1);
    request.serial = frame->m_pDownloads ? frame->m_pDownloads->m_release.serial : 0;
    request.dotNet = frame->m_nSystemType & NeedDotNet;
    request.setup = (frame->m_nSystemType & NeedMdac) ? "setupm.exe" : "setup.exe";
    std::string parameters = FormatInstallStep(request);
    app->WriteRunLog("InstallStep", parameters);
    char system[MAX_PATH] = "";
    GetSystemDirectoryA(system, MAX_PATH);

    SHELLEXECUTEINFOA launch = {};
    launch.cbSize = sizeof launch;
    launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    launch.hwnd = frame->m_hWnd;   // the prompt belongs to the window, in front of it
    launch.lpVerb = "runas";
    launch.lpFile = app->m_strExePath.c_str();
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
    const std::atomic<bool>& cancel = frame->m_bCancel;

    // 1.
    if (cancel)
        return 0;

    // 2. On the Vista path the helper runs from the installation step's
    // folder, never from the working folder, which the visitor can write.
    const bool elevated = frame->m_nSystemType & WindowsVista;
    std::string folder = app->m_strTempFolder;
    if (elevated) {
        char windows[MAX_PATH] = "";
        GetWindowsDirectoryA(windows, MAX_PATH);
        folder = Format("%s\\Temp\\%s", windows, NewInstallFolderName().c_str());
    }
    std::string program = folder + "\\installhelper.exe";
    app->WriteRunLog("InstallHelper", program);
    app->WriteRunLog("InstallHelperArgs", kHelperArguments);

    if (!elevated) {
        if (!RemoveStaleMarkers()) {
            LaunchFailed(frame, "cantdeletemarker", CategoryFileIO);
            return 0;
        }
        // The task file names what the helper runs, and any program of the
        // user can write the working folder: it must still hold exactly what
        // was written, and is held so from here on, like the verified programs.
        if (!frame->m_pDownloads || !frame->m_pDownloads->HoldUnchanged(WorkingFile(kTaskFile), frame->m_strTaskFileText)) {
            LaunchFailed(frame, "taskfilechanged", CategoryFileIO);
            return 0;
        }
    }

    // 3. The process handle tells when the helper (or the step) has ended.
    if (elevated) {
        int category = CategoryGeneral;
        const char* error = folder.back() == '\\' ? "cantlaunchinstallhelper"   // no random name to be had
                                                   : StartInstallStep(frame, folder, end.helper, category);
        if (error) {
            LaunchFailed(frame, error, category);
            return 0;
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
            LaunchFailed(frame, "cantlaunchinstallhelper");
            return 0;
        }
        end.helper = launch.hProcess;
    }
    MarkerSource markers(folder, elevated ? end.helper : nullptr);
    // A wait that ends without its marker: the step's own failure where it
    // has one, else the wait's.
    auto timedOut = [&](const char* name) {
        if (cancel)
            return;
        int category = CategoryGeneral;
        const char* error = markers.StepError(category);
        if (!error)
            LaunchFailed(frame, name);
        else
            LaunchFailed(frame, error, category);
    };

    // 4.
    if (cancel)
        return 0;

    // 5. The .NET Framework update, when it was needed.
    if (frame->m_nSystemType & NeedDotNet) {
        if (WaitForMarker(cancel, markers, "dotnetinstallstart", nullptr, 1, 30) == MarkerTimedOut) {
            timedOut("dotnetfxexedidntstart");
            return 0;
        }
        if (cancel)
            return 0;
        switch (WaitForMarker(cancel, markers, "dotnetinstallsucceeded", "dotnetinstallfailed", 1, 900)) {
        case MarkerTimedOut:
            timedOut("dotnetfxexedidntfinish");
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
    if (cancel)
        return 0;

    // 7. The product's set-up.
    if (WaitForMarker(cancel, markers, "setupinstallstart", nullptr, 1, 30) == MarkerTimedOut) {
        timedOut("setupexedidntstart");
        return 0;
    }
    if (cancel)
        return 0;

    // 8.
    switch (WaitForMarker(cancel, markers, "setupinstallsucceeded", "setupinstallfailed", 1, 240)) {
    case MarkerTimedOut:
        timedOut("setupexedidntfinish");
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

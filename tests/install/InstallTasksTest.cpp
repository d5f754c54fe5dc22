#include <winsock2.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "download/DownloadList.h"
#include "download/ItemSizes.h"
#include "install/InstallStep.h"
#include "install/InstallTasks.h"
#include "support/RoomFixture.h"
#include "system/SystemType.h"

namespace {

// The sleep seam: counts the sleeps and runs an action at a chosen one.
struct SleepScript {
    std::vector<DWORD> sleeps;
    int actAt = -1;
    void (*action)() = nullptr;
};
SleepScript g_script;
std::atomic<bool> g_cancel{false};
std::string g_marker;
// Markers a helper that runs the programs would make, made at the next sleep.
std::vector<std::string> g_madeMarkers;

void ScriptedSleep(DWORD ms)
{
    g_script.sleeps.push_back(ms);
    if ((int)g_script.sleeps.size() == g_script.actAt && g_script.action)
        g_script.action();
    for (const std::string& marker : g_madeMarkers)
        WriteTextFile(marker, "");
    g_madeMarkers.clear();
}

// A process that has ended with this exit code, as the installation step
// ends: a stand-in started suspended and ended before its first instruction.
HANDLE EndedProcess(DWORD exitCode)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    char command[] = "zembriomain_standin.exe";
    if (!CreateProcessA(ZEMBRIO_STANDIN_DIR "/zembriomain_standin.exe", command, nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED, nullptr, nullptr, &startup, &process))
        return nullptr;
    TerminateProcess(process.hProcess, exitCode);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    return process.hProcess;
}

// The step's exit code with the markers of these names.
DWORD StepCode(InstallStepOutcome outcome, std::vector<int> markers = {})
{
    DWORD code = kInstallStepCode | outcome;
    for (int i : markers)
        code |= 1u << (8 + i);
    return code;
}
enum { DotNetStart, DotNetSucceeded, DotNetFailed, SetupStart, SetupSucceeded, SetupFailed };

DWORD WINAPI LongFormOnly(LPCSTR path, LPSTR out, DWORD size)
{
    lstrcpynA(out, path, size);
    return lstrlenA(out);
}

// An earlier run recorded only the set-up's size.
struct RecordedSizes : CItemSizes {
    UINT RememberedItemSize(const std::string& url) const override { return url == setup ? 31457280 : 0; }
    std::string setup;
};

// The planner and the launch worker on a working folder of the test's, the
// launch run to its end on the test's thread with counted, instant waits.
// The helper is the main application's stand-in: it starts, notes its
// command line in ran.txt beside itself and ends without making a marker.
class InstallTasksTest : public RoomFixture {
protected:
    void SetUp() override
    {
        RoomFixture::SetUp();
        g_script = SleepScript();
        g_madeMarkers.clear();
        sizes.setup = Url("setup.exe");
        window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, window);
        NewFolder();
    }
    void TearDown() override
    {
        list.reset();
        DestroyWindow(window);
        RoomFixture::TearDown();
    }
    // A fresh working folder (rows of a table each take one).
    void NewFolder(const std::string& tail = "")
    {
        work = scratch.File("work" + std::to_string(folders++));
        ASSERT_TRUE(CreateDirectoryA(work.c_str(), nullptr));
        work += tail;
    }
    bool Plan(UINT type)
    {
        list.reset(new DownloadList);
        InstallTasksJob job{reports, sizes, work, logger.Url() + "/install", type};
        return PlanInstallTasks(job, *list, taskText);
    }
    void Launch(UINT type)
    {
        systemType = type;
        cancel = false;
        failed = false;
        dotNetReady = false;
        LaunchJob job{reports, list.get(), work,   exePath,     taskText,  window,
                      kDotNetMessage, cancel, failed, dotNetReady, systemType};
        RunLaunch(job);
    }
    void PlaceHelper()
    {
        ASSERT_TRUE(CopyFileA(ZEMBRIO_STANDIN_DIR "/zembriomain_standin.exe", Local("installhelper.exe").c_str(), FALSE));
    }
    bool HelperRan() const
    {
        for (int i = 0; i < 100 && !FileExists(Local("ran.txt")); i++)
            Sleep(100);
        return FileExists(Local("ran.txt"));
    }
    bool DotNetMessagePosted() const
    {
        MSG msg;
        return PeekMessageA(&msg, window, kDotNetMessage, kDotNetMessage, PM_REMOVE) != 0;
    }
    std::string Url(const char* name) const { return logger.Url() + "/install/" + name; }
    std::string Local(const char* name) const { return work + "\\" + name; }
    std::string Page(int category, const char* name) const
    {
        return std::to_string(category) + " " + name + " " + logger.Url() + "/install/faq.htm#" +
               ErrorCategoryText(category);
    }
    // A program's task line, in the working folder or another spelling of it:
    // what the helper is told of it.
    std::string Line(const std::string& program, std::string in = "") const
    {
        bool dotNet = program == "dotnetfx.exe";
        in = in.empty() ? work : in;
        std::string m = in + (dotNet ? "\\dotnet" : "\\setup");
        return in + "\\" + program + "," + (dotNet ? "/q:a /c:\"install /l /q\"" : "/s /v\"/qn\"") + "," + m +
               "installstart," + m + "installsucceeded," + m + "installfailed," + (dotNet ? "900" : "240") + "\r\r\n";
    }
    std::string TaskFile() const { return ReadTextFile(Local(kTaskFile)); }

    static const UINT kDotNetMessage = WM_APP + 7;
    ScopedSeam<decltype(g_pfnMarkerSleep)> sleep{g_pfnMarkerSleep, ScriptedSleep};   // counted, not slept
    RecordedSizes sizes;
    std::string work;
    int folders = 0;
    std::unique_ptr<DownloadList> list;
    std::string taskText;
    std::string exePath = "C:\\Users\\Visitor\\Downloads\\ZembrioInstaller.exe";
    HWND window = nullptr;
    std::atomic<bool> cancel{false}, failed{false}, dotNetReady{false};
    std::atomic<UINT> systemType{0};
};

}   // namespace

// ---- choosing the components --------------------------------------------------

// The helper always; the .NET update first where it is needed; the set-up
// (the MDAC one where that is needed) last. Each is logged with its address
// and path and registered with the size an earlier run recorded; each but
// the helper has a task line and an event. On the Vista path the step
// writes the task file, so the window writes none.
TEST_F(InstallTasksTest, EachSystemGetsItsComponentsInOrder)
{
    const struct {
        UINT systemType;
        std::vector<std::string> programs;
    } cases[] = {
        {0, {"setup.exe"}},
        {NeedMdac, {"setupm.exe"}},
        {NeedDotNet | NeedMdac, {"dotnetfx.exe", "setupm.exe"}},
        {NeedDotNet | WindowsVista, {"dotnetfx.exe", "setup.exe"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.systemType);
        NewFolder();
        size_t logged = LogLines().size(), sent = Sent().size();
        ASSERT_TRUE(Plan(c.systemType));

        ASSERT_EQ(1 + c.programs.size(), list->ItemCount());
        EXPECT_EQ(Url("installhelper.exe"), list->Item(0).m_strURL);
        EXPECT_EQ(Local("installhelper.exe"), list->Item(0).m_strLocalPath);
        EXPECT_EQ(10240, list->Item(0).m_nMinimumSize);
        EXPECT_EQ(0u, list->Item(0).m_nKnownSize);
        std::vector<std::string> log = {"InstallHelper.exe Download=" + Url("installhelper.exe") + " " +
                                        Local("installhelper.exe")},
                                 events;
        std::string lines;
        for (size_t i = 0; i < c.programs.size(); i++) {
            const char* program = c.programs[i].c_str();
            const DownloadItem& item = list->Item(1 + i);
            EXPECT_EQ(Url(program), item.m_strURL);
            EXPECT_EQ(Local(program), item.m_strLocalPath);
            EXPECT_EQ(20971520, item.m_nMinimumSize);
            EXPECT_EQ(c.programs[i] == "setup.exe" ? 31457280u : 0u, item.m_nKnownSize);
            bool dotNet = c.programs[i] == "dotnetfx.exe";
            std::string event = dotNet ? "dotnetfxexe" : program;
            log.push_back(std::string(dotNet ? "Dotnetfx.exe" : "Installer") + " Download=" + Url(program) + " " +
                          Local(program));
            log.push_back("Event=general," + event);
            events.push_back("/Logger/Zembrio.aspx?event=general" + event + "&userUID=&source=zembrioinstaller");
            lines += Line(program);
        }
        bool written = !(c.systemType & WindowsVista);
        EXPECT_EQ(written ? lines : "", taskText);
        EXPECT_EQ(written, FileExists(Local(kTaskFile)));
        EXPECT_EQ(written ? lines : "", TaskFile());
        std::vector<std::string> logLines = LogLines(), targets = Sent();
        EXPECT_EQ(log, std::vector<std::string>(logLines.begin() + logged, logLines.end()));
        EXPECT_EQ(events, std::vector<std::string>(targets.begin() + sent, targets.end()));
    }
    EXPECT_EQ(0, failures.failed);
    EXPECT_TRUE(failures.pages.empty());
}

// The helper splits each line at every comma: a folder with one in its name
// is written in its short form; the downloads and the run log keep the long.
TEST_F(InstallTasksTest, FolderWithACommaIsWrittenInItsShortForm)
{
    NewFolder("\\Smith, John");
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), nullptr));
    char shortForm[MAX_PATH] = "";
    ASSERT_NE(0u, GetShortPathNameA(work.c_str(), shortForm, MAX_PATH));
    ASSERT_EQ(nullptr, strchr(shortForm, ',')) << shortForm;
    ASSERT_TRUE(Plan(NeedDotNet));
    std::string file = TaskFile();
    EXPECT_EQ(Line("dotnetfx.exe", shortForm) + Line("setup.exe", shortForm), file);
    EXPECT_EQ(10, std::count(file.begin(), file.end(), ','));
    EXPECT_EQ(Local("setup.exe"), list->Item(2).m_strLocalPath);
    EXPECT_EQ("Installer Download=" + Url("setup.exe") + " " + Local("setup.exe"), LogLines()[3]);
    EXPECT_EQ(0, failures.failed);
}

// Every way the helper's input cannot be trusted stops the run, named, with
// the error page, before the helper starts or anything is waited for: a
// folder the task lines cannot name (a line break adds a task line of its
// own, a quote ends the quoted program path; a comma without a short form),
// a task file that cannot be made, a marker of an earlier run that cannot be
// removed, a task file changed since it was written (another program of the
// user pointing a line at its own program) or that nothing holds, no helper.
TEST_F(InstallTasksTest, WhatTheHelperCannotBeTrustedToReadStopsTheRunNamed)
{
    // No 8.3 names, as on a volume that keeps none; only a comma asks.
    ScopedSeam<decltype(g_pfnGetShortPathName)> longOnly(g_pfnGetShortPathName, LongFormOnly);
    auto rewrite = [this](std::function<std::string(const std::string&)> change) {
        return [this, change] { ASSERT_TRUE(WriteTextFile(Local(kTaskFile), change(taskText))); };
    };
    const struct {
        const char* tail;                // the working folder, in the row's folder
        bool make;                       // the working folder made
        std::function<void()> change;    // null: the plan refuses; else made before the launch
        int category;
        const char* error;
    } cases[] = {
        {"\\x\r\nC:\\x.exe,,,,,1", false, nullptr, CategoryFileIO, "quoteorlinebreakintempfolder"},
        {"\\x\n", false, nullptr, CategoryFileIO, "quoteorlinebreakintempfolder"},
        {"\\x\r", false, nullptr, CategoryFileIO, "quoteorlinebreakintempfolder"},
        {"\\\"x", false, nullptr, CategoryFileIO, "quoteorlinebreakintempfolder"},
        {"\\missing", false, nullptr, CategoryFileIO, "cantcreateinputfile"},
        {"\\Smith, John", true, nullptr, CategoryFileIO, "commaintempfolder"},
        {"", false, [this] { ASSERT_TRUE(CreateDirectoryA(Local("setupinstallsucceeded").c_str(), nullptr)); },
         CategoryFileIO, "cantdeletemarker"},
        {"", false, rewrite([](const std::string& t) { return t.substr(0, t.size() - 1); }), CategoryFileIO,
         "taskfilechanged"},
        {"", false, rewrite([](const std::string& t) { return t + "x"; }), CategoryFileIO, "taskfilechanged"},
        {"", false, rewrite([](const std::string& t) { return "C:\\evil.exe" + t.substr(1); }), CategoryFileIO,
         "taskfilechanged"},
        {"", false, [this] { list.reset(); }, CategoryFileIO, "taskfilechanged"},
        {"", false, [this] { ASSERT_TRUE(DeleteFileA(Local("installhelper.exe").c_str())); }, CategoryGeneral,
         "cantlaunchinstallhelper"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        SCOPED_TRACE(c.tail);
        failures = RecordedFailures();
        g_script = SleepScript();
        NewFolder(c.tail);
        if (c.make) {
            ASSERT_TRUE(CreateDirectoryA(work.c_str(), nullptr));
        }
        bool planned = Plan(0);
        ASSERT_EQ(c.change != nullptr, planned);
        if (planned) {
            PlaceHelper();
            c.change();
            Launch(0);
            EXPECT_TRUE(failed);
        } else {
            EXPECT_EQ(0u, list->ItemCount());
            EXPECT_EQ("", taskText);
        }
        EXPECT_EQ(1, failures.failed);
        EXPECT_EQ(std::vector<std::string>{Page(c.category, c.error)}, failures.pages);
        EXPECT_EQ(std::string("Error=") + ErrorCategoryText(c.category) + "," + c.error, LogLines().back());
        EXPECT_TRUE(g_script.sleeps.empty());
        EXPECT_FALSE(FileExists(Local("ran.txt"))) << "the helper ran";
    }
}

// ---- the launch worker ----------------------------------------------------------

// Each way the helper's markers can end, the .NET update taken at once;
// markers an earlier run left (a retry after a failed set-up, a run over
// everything) are gone before the helper starts, so none counts as done.
TEST_F(InstallTasksTest, EachMarkerOutcomeEndsNamedAndTheDotNetUpdateIsTakenAtOnce)
{
    const std::vector<const char*> all(std::begin(kMarkerNames), std::end(kMarkerNames));
    const struct {
        UINT systemType;
        std::vector<const char*> left;   // by an earlier run
        std::vector<const char*> made;   // by the helper, during the first wait
        const char* error;               // null: the installation succeeded
        size_t sleeps;                   // a second each
    } cases[] = {
        // A helper that never starts the program is given 30 s.
        {0, {"setupinstallstart", "setupinstallfailed"}, {}, "setupexedidntstart", 30},
        {NeedDotNet, all, {}, "dotnetfxexedidntstart", 30},
        {NeedDotNet, {}, {"dotnetinstallstart"}, "dotnetfxexedidntfinish", 1 + 900},
        {NeedDotNet, {}, {"dotnetinstallstart", "dotnetinstallfailed"}, "dotnetfxexefailed", 2},
        {0, {}, {"setupinstallstart"}, "setupexedidntfinish", 1 + 240},
        {0, {}, {"setupinstallstart", "setupinstallsucceeded"}, nullptr, 2},
        {NeedDotNet, {}, {"dotnetinstallstart", "dotnetinstallsucceeded", "setupinstallstart", "setupinstallsucceeded"},
         nullptr, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error ? c.error : "success");
        failures = RecordedFailures();
        g_script = SleepScript();
        NewFolder();
        ASSERT_TRUE(Plan(c.systemType));
        PlaceHelper();
        for (const char* name : c.left)
            ASSERT_TRUE(WriteTextFile(Local(name), ""));
        for (const char* name : c.made)
            g_madeMarkers.push_back(Local(name));
        Launch(c.systemType);
        EXPECT_TRUE(HelperRan());
        EXPECT_EQ(c.error != nullptr, failed.load());
        EXPECT_EQ(c.error != nullptr, failures.failed);
        std::string last = LogLines().back();
        if (c.error) {
            EXPECT_EQ(std::string("Error=general,") + c.error, last);
        } else {
            EXPECT_NE(0u, last.rfind("Error=", 0)) << last;
        }
        EXPECT_EQ(std::vector<DWORD>(c.sleeps, 1000), g_script.sleeps);
        for (const char* name : kMarkerNames)
            EXPECT_EQ(std::count(c.made.begin(), c.made.end(), std::string(name)) > 0, FileExists(Local(name)))
                << name;
        // Once the update is in the window is told, and it is not asked for again.
        bool dotNetInstalled = (c.systemType & NeedDotNet) && !c.error;
        EXPECT_EQ(dotNetInstalled, dotNetReady.load());
        EXPECT_EQ(dotNetInstalled ? 0u : (c.systemType & NeedDotNet), systemType & NeedDotNet);
        EXPECT_EQ(dotNetInstalled, DotNetMessagePosted());
        // After a failure the task file stays held: nobody rewrites it while
        // the helper may still read it.
        if (c.error) {
            EXPECT_FALSE(WriteTextFile(Local(kTaskFile), "C:\\evil.exe"));
            EXPECT_EQ(taskText, TaskFile());
        }
    }
}

// What the elevation prompt answers, and what the worker asked of it.
struct ElevationScript {
    DWORD error = 0;      // the call fails with it
    DWORD exitCode = 0;   // else the step ends with it
    std::string verb, file, parameters, directory;
};
static ElevationScript g_elevation;

static BOOL ScriptedElevation(SHELLEXECUTEINFOA* info)
{
    g_elevation.verb = info->lpVerb ? info->lpVerb : "";
    g_elevation.file = info->lpFile ? info->lpFile : "";
    g_elevation.parameters = info->lpParameters ? info->lpParameters : "";
    g_elevation.directory = info->lpDirectory ? info->lpDirectory : "";
    if (g_elevation.error) {
        SetLastError(g_elevation.error);
        return FALSE;
    }
    info->hProcess = EndedProcess(g_elevation.exitCode);
    return info->hProcess != nullptr;
}

TEST_F(InstallTasksTest, VistaPathRunsTheElevatedStepAndNamesEachWayItEnds)
{
    ScopedSeam<decltype(g_pfnShellExecuteEx)> elevation(g_pfnShellExecuteEx, ScriptedElevation);
    ASSERT_TRUE(Plan(0));
    PlaceHelper();
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    const struct {
        DWORD error, exitCode;
        const char* report;   // null: the installation succeeded
        size_t sleeps;
    } cases[] = {
        // The visitor said no: a cause of its own, and nothing waited for.
        {ERROR_CANCELLED, 0, "Error=permissions,elevationdeclined", 0},
        {ERROR_ACCESS_DENIED, 0, "Error=general,cantlaunchinstallhelper", 0},
        // A step that fails before the helper is named at the first look.
        {0, StepCode(StepComponentChanged), "Error=fileio,componentchanged", 1},
        {0, StepCode(StepCantMakeFolder), "Error=permissions,cantcreateinstallfolder", 1},
        {0, 0xC0000005, "Error=general,installstepexitcodeC0000005", 1},
        {0, StepCode(StepHelperEnded, {SetupStart}), "Error=general,setupexedidntfinish", 2},
        {0, StepCode(StepHelperEnded, {SetupStart, SetupSucceeded}), nullptr, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report ? c.report : "success");
        g_elevation = ElevationScript();
        g_elevation.error = c.error;
        g_elevation.exitCode = c.exitCode;
        g_script = SleepScript();
        failures = RecordedFailures();
        Launch(WindowsVista);
        EXPECT_EQ(c.report != nullptr, failed.load());
        EXPECT_EQ(c.report != nullptr, failures.failed);
        std::vector<std::string> lines = LogLines();
        if (c.report) {
            EXPECT_EQ(c.report, lines.back());
        } else {
            EXPECT_NE(0u, lines.back().rfind("Error=", 0)) << lines.back();
        }
        EXPECT_EQ(c.sleeps, g_script.sleeps.size());

        // The installer itself, elevated, from the system folder, told
        // where the checked downloads are and which to run.
        EXPECT_EQ("runas", g_elevation.verb);
        EXPECT_EQ(exePath, g_elevation.file);
        EXPECT_EQ(system, g_elevation.directory);
        InstallStepRequest request;
        ASSERT_TRUE(ParseInstallStep(g_elevation.parameters.c_str(), request)) << g_elevation.parameters;
        EXPECT_EQ(work, request.workingFolder);
        EXPECT_FALSE(request.dotNet);
        EXPECT_STREQ("setup.exe", request.setup);
        // The helper named in the run log is the one in the step's folder.
        char windows[MAX_PATH];
        GetWindowsDirectoryA(windows, MAX_PATH);
        std::string expected = std::string("InstallHelper=") + windows + "\\Temp\\" + request.folderName + "\\installhelper.exe";
        EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), expected));
        // Whatever the ending, every downloaded byte stays, and nothing ran
        // from the working folder.
        EXPECT_TRUE(FileExists(Local("installhelper.exe")));
        EXPECT_FALSE(FileExists(Local("ran.txt")));
    }
}

// ---- marker waits -------------------------------------------------------------

// A wait sleeps its interval, then looks, count times at most; the step's
// folder is gone once it has ended, so its exit code answers for the
// markers (a file of the same name in the folder no longer counts) and
// nothing more can come.
TEST(MarkerWait, EachWayAWaitEnds)
{
    ScopedSeam<decltype(g_pfnMarkerSleep)> sleep{g_pfnMarkerSleep, ScriptedSleep};
    ScratchFolder folder;
    const char* const kDone = "setupinstallsucceeded";
    const char* const kFail = "setupinstallfailed";
    enum Act { None, MakeDone, Cancel };
    const int kNoStep = -1;
    const struct {
        const char* what;
        std::vector<const char*> there;   // before the wait
        bool withFail;                    // the failure marker is looked for
        int interval, count;
        int actAt;                        // at this sleep; 0: before the wait
        Act act;
        long long step;                   // the exit code of a step that has ended
        int result;
        size_t sleeps;
        const char* stepError;
    } cases[] = {
        {"nothing appears", {}, true, 1, 30, 0, None, kNoStep, MarkerTimedOut, 30, nullptr},
        {"already there", {kDone}, false, 2, 30, 0, None, kNoStep, MarkerDone, 1, nullptr},
        {"failure", {kFail}, true, 1, 240, 0, None, kNoStep, MarkerFailed, 1, nullptr},
        {"failure not looked for", {kFail}, false, 1, 3, 0, None, kNoStep, MarkerTimedOut, 3, nullptr},
        {"both: success wins", {kDone, kFail}, true, 1, 240, 0, None, kNoStep, MarkerDone, 1, nullptr},
        {"made during the wait", {}, true, 1, 240, 4, MakeDone, kNoStep, MarkerDone, 4, nullptr},
        {"cancel during the wait", {}, true, 1, 900, 5, Cancel, kNoStep, MarkerTimedOut, 5, nullptr},
        {"cancel before the wait", {}, true, 1, 900, 0, Cancel, kNoStep, MarkerTimedOut, 0, nullptr},
        {"step ended, set-up succeeded", {kDone}, true, 1, 240, 0, None,
         StepCode(StepHelperEnded, {SetupStart, SetupSucceeded}), MarkerDone, 1, nullptr},
        {"step ended, set-up failed", {kDone}, true, 1, 240, 0, None,
         StepCode(StepHelperEnded, {SetupStart, SetupFailed}), MarkerFailed, 1, nullptr},
        {"step ended, another marker", {kDone}, true, 1, 240, 0, None,
         StepCode(StepHelperEnded, {SetupStart, DotNetSucceeded}), MarkerTimedOut, 1, nullptr},
        {"step could not copy", {kDone}, true, 1, 240, 0, None, StepCode(StepCantCopy), MarkerTimedOut, 1,
         "cantcopytoinstallfolder"},
        {"step crashed", {kDone}, true, 1, 240, 0, None, 0xC0000005, MarkerTimedOut, 1,
         "installstepexitcodeC0000005"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteTree(folder.Path());
        ASSERT_TRUE(CreateDirectoryA(folder.Path().c_str(), nullptr));
        for (const char* name : c.there)
            ASSERT_TRUE(WriteTextFile(folder.File(name), ""));
        g_script = SleepScript();
        g_cancel = c.act == Cancel && c.actAt == 0;
        g_marker = folder.File(kDone);
        if (c.actAt > 0) {
            g_script.actAt = c.actAt;
            g_script.action = c.act == MakeDone ? +[] { WriteTextFile(g_marker, ""); } : +[] { g_cancel = true; };
        }
        HANDLE step = nullptr;
        if (c.step != kNoStep) {
            ASSERT_NE(nullptr, step = EndedProcess((DWORD)c.step));
        }
        MarkerSource markers(folder.Path(), step);
        EXPECT_EQ(c.result, WaitForMarker(g_cancel, markers, kDone, c.withFail ? kFail : nullptr, c.interval, c.count));
        EXPECT_EQ(std::vector<DWORD>(c.sleeps, c.interval * 1000), g_script.sleeps);
        int category = -1;
        EXPECT_STREQ(c.stepError, markers.StepError(category));
        if (step)
            CloseHandle(step);
    }
    g_cancel = false;
}

TEST(FormatTaskLine, SixFieldsNoQuoting)
{
    EXPECT_EQ("C:\\t\\setup.exe,/s /v\"/qn\",C:\\t\\s,C:\\t\\ok,C:\\t\\bad,240",
              FormatTaskLine("C:\\t\\setup.exe", "/s /v\"/qn\"", "C:\\t\\s", "C:\\t\\ok", "C:\\t\\bad", 240));
}

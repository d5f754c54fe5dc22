#include <winsock2.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <string>
#include <vector>
#include "download/DownloadList.h"
#include "install/InstallStep.h"
#include "app/Rooms.h"
#include "install/InstallTasks.h"
#include "support/AppFixture.h"

// ---- the install task file ---------------------------------------------------

class InstallTasksTest : public AppFixture {
protected:
    // Runs PrepareInstallTasks with the cancel flag already set, so the
    // download worker it starts ends at once; waits for that worker.
    void Prepare(UINT systemType)
    {
        frame->m_nSystemType = systemType;
        frame->m_bCancel = true;
        frame->PrepareInstallTasks();
        if (frame->m_pDownloadThread) {
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(frame->m_pDownloadThread->m_hThread, 10000));
        }
    }
    std::string Url(const char* name) const { return logger.Url() + "/install/" + name; }
    std::string Local(const char* name) const { return app.m_strTempFolder + "\\" + name; }
    // A task line of the working folder, or of another spelling of it.
    std::string Line(const char* program, const char* args, const char* marker, const char* seconds,
                     std::string in = "") const
    {
        if (in.empty())
            in = app.m_strTempFolder;
        std::string m = in + "\\" + marker;
        return in + "\\" + program + "," + args + "," + m + "installstart," + m + "installsucceeded," + m +
               "installfailed," + seconds + "\r\r\n";
    }
    std::string TaskFile() const { return ReadTextFile(app.m_strTempFolder + "\\installhelpertasks.txt"); }
};

TEST_F(InstallTasksTest, PlainSystemGetsOneSetupLineAndTwoItems)
{
    Prepare(0);
    EXPECT_EQ(Line("setup.exe", "/s /v\"/qn\"", "setup", "240"), TaskFile());

    DownloadList* list = frame->m_pDownloads;
    ASSERT_NE(nullptr, list);
    ASSERT_EQ(2u, list->ItemCount());
    EXPECT_EQ(Url("installhelper.exe"), list->Item(0).m_strURL);
    EXPECT_EQ(Local("installhelper.exe"), list->Item(0).m_strLocalPath);
    EXPECT_EQ(10240, list->Item(0).m_nMinimumSize);
    EXPECT_EQ(Url("setup.exe"), list->Item(1).m_strURL);
    EXPECT_EQ(Local("setup.exe"), list->Item(1).m_strLocalPath);
    EXPECT_EQ(20971520, list->Item(1).m_nMinimumSize);
    EXPECT_EQ(0u, list->Item(1).m_nKnownSize);

    EXPECT_EQ((std::vector<std::string>{"InstallHelper.exe Download=" + Url("installhelper.exe") + " " +
                                            Local("installhelper.exe"),
                                        "Installer Download=" + Url("setup.exe") + " " + Local("setup.exe"),
                                        "Event=general,setup.exe"}),
              LogLines());
    EXPECT_EQ(std::vector<std::string>{"/Logger/Zembrio.aspx?event=generalsetup.exe&userUID=&source=zembrioinstaller"},
              Sent());
    EXPECT_FALSE(frame->m_bFailed);
    // The worker was started and has cleared its handle on the way out.
    EXPECT_NE(nullptr, frame->m_pDownloadThread);
    EXPECT_EQ(nullptr, frame->m_hWorker.load());
}

TEST_F(InstallTasksTest, DotNetLineComesFirstAndMdacPicksSetupm)
{
    Prepare(NeedDotNet | NeedMdac);
    EXPECT_EQ(Line("dotnetfx.exe", "/q:a /c:\"install /l /q\"", "dotnet", "900") +
                  Line("setupm.exe", "/s /v\"/qn\"", "setup", "240"),
              TaskFile());

    DownloadList* list = frame->m_pDownloads;
    ASSERT_EQ(3u, list->ItemCount());
    EXPECT_EQ(Url("installhelper.exe"), list->Item(0).m_strURL);
    EXPECT_EQ(Url("dotnetfx.exe"), list->Item(1).m_strURL);
    EXPECT_EQ(20971520, list->Item(1).m_nMinimumSize);
    EXPECT_EQ(Url("setupm.exe"), list->Item(2).m_strURL);

    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("Dotnetfx.exe Download=" + Url("dotnetfx.exe") + " " + Local("dotnetfx.exe"), lines[1]);
    EXPECT_EQ("Event=general,dotnetfxexe", lines[2]);
    EXPECT_EQ("Installer Download=" + Url("setupm.exe") + " " + Local("setupm.exe"), lines[3]);
    EXPECT_EQ("Event=general,setupm.exe", lines[4]);
    std::vector<std::string> targets = Sent();
    ASSERT_EQ(2u, targets.size());
    EXPECT_NE(std::string::npos, targets[0].find("event=generaldotnetfxexe&"));
    EXPECT_NE(std::string::npos, targets[1].find("event=generalsetupm.exe&"));
}

static DWORD WINAPI LongFormOnly(LPCSTR path, LPSTR out, DWORD size)
{
    lstrcpynA(out, path, size);
    return lstrlenA(out);
}

// The helper splits each line at every comma: a folder with one in its
// name is written in its short form, and one without a short form is refused.
TEST_F(InstallTasksTest, FolderWithACommaIsWrittenInItsShortForm)
{
    std::string odd = folder.File("Smith, John");
    ASSERT_TRUE(CreateDirectoryA(odd.c_str(), nullptr));
    char shortForm[MAX_PATH] = "";
    ASSERT_NE(0u, GetShortPathNameA(odd.c_str(), shortForm, MAX_PATH));
    ASSERT_EQ(nullptr, strchr(shortForm, ',')) << shortForm;
    app.m_strTempFolder = odd;
    Prepare(NeedDotNet);
    std::string file = TaskFile();
    EXPECT_EQ(Line("dotnetfx.exe", "/q:a /c:\"install /l /q\"", "dotnet", "900", shortForm) +
                  Line("setup.exe", "/s /v\"/qn\"", "setup", "240", shortForm),
              file);
    EXPECT_EQ(10, std::count(file.begin(), file.end(), ','));
    // The downloads and the run log keep the long form.
    EXPECT_EQ(odd + "\\setup.exe", frame->m_pDownloads->Item(2).m_strLocalPath);
    EXPECT_EQ("Installer Download=" + Url("setup.exe") + " " + odd + "\\setup.exe", LogLines()[3]);
    EXPECT_FALSE(frame->m_bFailed);

    // Where the volume keeps no 8.3 names the long form comes back.
    ScopedSeam<decltype(g_pfnGetShortPathName)> longOnly(g_pfnGetShortPathName, LongFormOnly);
    CWinThread* earlier = frame->m_pDownloadThread;
    Prepare(0);
    EXPECT_EQ(0u, frame->m_pDownloads->ItemCount());
    EXPECT_EQ(earlier, frame->m_pDownloadThread);
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_TRUE(ErrorPageRequested());
    EXPECT_EQ("Error=fileio,commaintempfolder", LogLines().back());
}

// A line break would add a task line of its own, and a quote end the quoted
// program path: such a folder (only a damaged record or environment can
// name one) is refused before the task file is written or a download added.
TEST_F(InstallTasksTest, FolderWithAQuoteOrLineBreakIsRefusedBeforeAnythingIsWritten)
{
    for (const char* tail : {"\r\nC:\\x.exe,,,,,1", "\n", "\r", "\"x"}) {
        SCOPED_TRACE(tail);
        frame->m_bFailed = false;
        app.m_strTempFolder = folder.Path() + tail;
        Prepare(0);
        EXPECT_EQ(0u, frame->m_pDownloads->ItemCount());
        EXPECT_EQ(nullptr, frame->m_pDownloadThread);
        EXPECT_TRUE(frame->m_bFailed);
        EXPECT_TRUE(ErrorPageRequested());
        EXPECT_EQ("Error=fileio,quoteorlinebreakintempfolder", LogLines().back());
    }
}

TEST_F(InstallTasksTest, StoredSizeIsFoundWhateverTheLetterCase)
{
    std::string stored = Url("SETUP.EXE");
    for (char& c : stored)
        c = (char)toupper((unsigned char)c);
    app.m_astrItemURL = {stored};
    app.m_anItemSize = {31457280};
    Prepare(0);
    EXPECT_EQ(0u, frame->m_pDownloads->Item(0).m_nKnownSize);
    EXPECT_EQ(31457280u, frame->m_pDownloads->Item(1).m_nKnownSize);
}

TEST_F(InstallTasksTest, UncreatableTaskFileStartsNoDownloads)
{
    app.m_strTempFolder = folder.File("missing");
    Prepare(0);
    EXPECT_EQ(0u, frame->m_pDownloads->ItemCount());
    EXPECT_EQ(nullptr, frame->m_pDownloadThread);
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_TRUE(ErrorPageRequested());
    EXPECT_EQ(std::vector<std::string>{"Error=fileio,cantcreateinputfile"}, LogLines());
}

// ---- marker waits -------------------------------------------------------------

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

void ScriptedSleep(DWORD ms)
{
    g_script.sleeps.push_back(ms);
    if ((int)g_script.sleeps.size() == g_script.actAt && g_script.action)
        g_script.action();
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

class MarkerWaitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_script = SleepScript();
        g_cancel = false;
        done = folder.File("setupinstallsucceeded");
        fail = folder.File("setupinstallfailed");
        g_marker = done;
    }

    ScopedSeam<decltype(g_pfnMarkerSleep)> sleep{g_pfnMarkerSleep, ScriptedSleep};
    ScratchFolder folder;
    std::string done, fail;
    MarkerSource markers{folder.Path()};
    const char* const kDone = "setupinstallsucceeded";
    const char* const kFail = "setupinstallfailed";
};

}   // namespace

TEST_F(MarkerWaitTest, NothingAppearsUntilTheCountRunsOut)
{
    EXPECT_EQ(MarkerTimedOut, WaitForMarker(g_cancel, markers, kDone, kFail, 1, 30));
    EXPECT_EQ(std::vector<DWORD>(30, 1000), g_script.sleeps);
}

TEST_F(MarkerWaitTest, MarkerAlreadyThereIsSeenAfterOneInterval)
{
    ASSERT_TRUE(WriteTextFile(done, ""));
    EXPECT_EQ(MarkerDone, WaitForMarker(g_cancel, markers, kDone, nullptr, 2, 30));
    EXPECT_EQ(std::vector<DWORD>{2000}, g_script.sleeps);
}

TEST_F(MarkerWaitTest, FailureMarkerAndBothMarkers)
{
    ASSERT_TRUE(WriteTextFile(fail, ""));
    EXPECT_EQ(MarkerFailed, WaitForMarker(g_cancel, markers, kDone, kFail, 1, 240));
    // Without a failure path only the done marker counts.
    g_script = SleepScript();
    EXPECT_EQ(MarkerTimedOut, WaitForMarker(g_cancel, markers, kDone, nullptr, 1, 3));
    EXPECT_EQ(3u, g_script.sleeps.size());
    // Both present: success wins.
    ASSERT_TRUE(WriteTextFile(done, ""));
    EXPECT_EQ(MarkerDone, WaitForMarker(g_cancel, markers, kDone, kFail, 1, 240));
}

TEST_F(MarkerWaitTest, MarkerMadeDuringTheWaitIsSeenAtTheNextTest)
{
    g_script.actAt = 4;
    g_script.action = [] { WriteTextFile(g_marker, ""); };
    EXPECT_EQ(MarkerDone, WaitForMarker(g_cancel, markers, kDone, kFail, 1, 240));
    EXPECT_EQ(4u, g_script.sleeps.size());
}

TEST_F(MarkerWaitTest, CancelEndsTheWaitWithinOneInterval)
{
    g_script.actAt = 5;
    g_script.action = [] { g_cancel = true; };
    EXPECT_EQ(MarkerTimedOut, WaitForMarker(g_cancel, markers, kDone, kFail, 1, 900));
    EXPECT_EQ(5u, g_script.sleeps.size());
    // A cancel made before the wait ends it without a sleep.
    g_script = SleepScript();
    EXPECT_EQ(MarkerTimedOut, WaitForMarker(g_cancel, markers, kDone, kFail, 1, 900));
    EXPECT_TRUE(g_script.sleeps.empty());
}

TEST_F(MarkerWaitTest, StepThatHasEndedAnswersFromItsExitCodeAndEndsTheWaitAtOnce)
{
    // The step removed its folder before it ended: its exit code is all
    // that says what the folder held, and nothing more can come.
    const struct {
        DWORD exitCode;
        int result;
        const char* error;
    } cases[] = {
        {StepCode(StepHelperEnded, {SetupStart, SetupSucceeded}), MarkerDone, nullptr},
        {StepCode(StepHelperEnded, {SetupStart, SetupFailed}), MarkerFailed, nullptr},
        {StepCode(StepHelperEnded, {SetupStart, DotNetSucceeded}), MarkerTimedOut, nullptr},
        {StepCode(StepCantCopy), MarkerTimedOut, "cantcopytoinstallfolder"},
        {0xC0000005, MarkerTimedOut, "installstepexitcodeC0000005"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exitCode);
        HANDLE step = EndedProcess(c.exitCode);
        ASSERT_NE(nullptr, step);
        // A marker file of the same name in the folder no longer counts.
        ASSERT_TRUE(WriteTextFile(done, ""));
        MarkerSource ended(folder.Path(), step);
        g_script = SleepScript();
        EXPECT_EQ(c.result, WaitForMarker(g_cancel, ended, kDone, kFail, 1, 240));
        EXPECT_EQ(1u, g_script.sleeps.size());
        int category = -1;
        const char* error = ended.StepError(category);
        EXPECT_STREQ(c.error, error);
        CloseHandle(step);
        DeleteFileA(done.c_str());
    }
}

// ---- the launch worker ----------------------------------------------------------

static const char* const kMarkers[] = {"dotnetinstallstart", "dotnetinstallsucceeded", "dotnetinstallfailed",
                                       "setupinstallstart",  "setupinstallsucceeded",  "setupinstallfailed"};

// The worker run to its end on the test's thread, with instant marker waits.
// The helper is the main application's stand-in: it starts, notes its
// command line in ran.txt beside itself and ends without making a marker.
class LaunchThreadTest : public InstallTasksTest {
protected:
    void SetUp() override
    {
        InstallTasksTest::SetUp();
        Prepare(0);   // the task file and the list that holds it
        g_script = SleepScript();
        ASSERT_TRUE(CopyFileA(ZEMBRIO_STANDIN_DIR "/zembriomain_standin.exe", Local("installhelper.exe").c_str(), FALSE));
    }
    void Launch(UINT systemType)
    {
        frame->m_nSystemType = systemType;
        frame->m_bCancel = false;
        EXPECT_EQ(0u, LaunchThread(frame));
        EXPECT_EQ(nullptr, frame->m_hWorker.load());
    }
    bool HelperRan() const
    {
        for (int i = 0; i < 100 && !FileExists(Local("ran.txt")); i++)
            Sleep(100);
        return FileExists(Local("ran.txt"));
    }
    ScopedSeam<decltype(g_pfnMarkerSleep)> sleep{g_pfnMarkerSleep, ScriptedSleep};   // counted, not slept
};

TEST_F(LaunchThreadTest, MarkersOfAnEarlierRunAreRemovedBeforeTheHelperStarts)
{
    // A retry after a failed set-up, and a run over everything an earlier
    // one left: the helper makes no marker, so nothing may count as done.
    const struct {
        std::vector<const char*> left;
        UINT systemType;
        const char* error;
    } cases[] = {
        {{"setupinstallstart", "setupinstallfailed"}, 0, "setupexedidntstart"},
        {{std::begin(kMarkers), std::end(kMarkers)}, NeedDotNet, "dotnetfxexedidntstart"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        DeleteFileA(Local("ran.txt").c_str());
        frame->m_bFailed = false;
        for (const char* name : c.left)
            ASSERT_TRUE(WriteTextFile(Local(name), ""));
        g_script = SleepScript();
        Launch(c.systemType);
        EXPECT_TRUE(HelperRan());
        for (const char* name : kMarkers)
            EXPECT_FALSE(FileExists(Local(name))) << name;
        EXPECT_TRUE(frame->m_bFailed);
        EXPECT_EQ(std::string("Error=general,") + c.error, LogLines().back());
        // A helper that never starts the program is given 30 s, a second at a time.
        EXPECT_EQ(std::vector<DWORD>(30, 1000), g_script.sleeps);
    }
}

TEST_F(LaunchThreadTest, MarkerThatCannotBeRemovedStopsBeforeTheHelperStarts)
{
    ASSERT_TRUE(CreateDirectoryA(Local("setupinstallsucceeded").c_str(), nullptr));
    Launch(0);
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_TRUE(ErrorPageRequested());
    EXPECT_EQ("Error=fileio,cantdeletemarker", LogLines().back());
    EXPECT_FALSE(FileExists(Local("ran.txt")));
    RemoveDirectoryA(Local("setupinstallsucceeded").c_str());
}

TEST_F(LaunchThreadTest, TaskFileChangedSinceItWasWrittenStopsBeforeTheHelperStarts)
{
    // Another program of the user points a task line at its own program.
    std::string tasks = TaskFile();
    ASSERT_FALSE(tasks.empty());
    for (const std::string& changed : {tasks.substr(0, tasks.size() - 1), tasks + "x", "C:\\evil.exe" + tasks.substr(1)}) {
        ASSERT_TRUE(WriteTextFile(Local("installhelpertasks.txt"), changed));
        frame->m_bFailed = false;
        Launch(0);
        EXPECT_TRUE(frame->m_bFailed);
        EXPECT_EQ("Error=fileio,taskfilechanged", LogLines().back());
        EXPECT_FALSE(FileExists(Local("ran.txt")));
    }
    // As written, it runs, and nobody can rewrite it while the helper may read it.
    ASSERT_TRUE(WriteTextFile(Local("installhelpertasks.txt"), tasks));
    Launch(0);
    EXPECT_TRUE(HelperRan());
    EXPECT_FALSE(WriteTextFile(Local("installhelpertasks.txt"), "C:\\evil.exe"));
    EXPECT_EQ(tasks, TaskFile());
}

// The helper's markers appear during the worker's first wait, as a helper
// that runs them would make them; the waits are instant.
static std::vector<std::string> g_madeMarkers;

TEST_F(LaunchThreadTest, EachMarkerOutcomeEndsNamedAndTheDotNetUpdateIsRecordedAtOnce)
{
    const struct {
        UINT systemType;
        std::vector<const char*> made;
        const char* error;   // null: the installation succeeded
    } cases[] = {
        {NeedDotNet, {"dotnetinstallstart"}, "dotnetfxexedidntfinish"},
        {NeedDotNet, {"dotnetinstallstart", "dotnetinstallfailed"}, "dotnetfxexefailed"},
        {0, {"setupinstallstart"}, "setupexedidntfinish"},
        {0, {"setupinstallstart", "setupinstallsucceeded"}, nullptr},
        {NeedDotNet, {"dotnetinstallstart", "dotnetinstallsucceeded", "setupinstallstart", "setupinstallsucceeded"},
         nullptr},
    };
    g_pfnMarkerSleep = [](DWORD) {
        for (const std::string& marker : g_madeMarkers)
            WriteTextFile(marker, "");
        g_madeMarkers.clear();
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error ? c.error : "success");
        frame->m_bFailed = false;
        frame->m_bDotNetReady = false;
        app.m_nSystemType = c.systemType;
        app.SaveStartState();
        for (const char* name : c.made)
            g_madeMarkers.push_back(Local(name));
        size_t logged = LogLines().size();
        Launch(c.systemType);
        EXPECT_EQ(c.error != nullptr, frame->m_bFailed.load());
        std::vector<std::string> lines = LogLines();
        if (c.error)
            EXPECT_EQ(std::string("Error=general,") + c.error, lines.back());
        else
            EXPECT_FALSE(lines.back().rfind("Error=", 0) == 0) << lines.back();
        EXPECT_GT(lines.size(), logged);
        // Once the update is in, the page turns and the record stops asking
        // for it: a run killed now resumes without installing it again.
        bool dotNetInstalled = c.systemType == NeedDotNet && !c.error;
        EXPECT_EQ(dotNetInstalled, frame->m_bDotNetReady.load());
        MSG msg;
        while (PeekMessageA(&msg, frame->m_hWnd, CMainFrame::kDotNetInstalledMessage,
                            CMainFrame::kDotNetInstalledMessage, PM_REMOVE))
            DispatchMessageA(&msg);
        app.LoadState();
        EXPECT_EQ(dotNetInstalled ? 0u : c.systemType, app.m_nSystemType & NeedDotNet);
    }

    // No helper to start.
    ASSERT_TRUE(DeleteFileA(Local("installhelper.exe").c_str()));
    frame->m_bFailed = false;
    Launch(0);
    EXPECT_TRUE(frame->m_bFailed);
    EXPECT_EQ("Error=general,cantlaunchinstallhelper", LogLines().back());
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

TEST_F(LaunchThreadTest, VistaPathRunsTheElevatedStepAndNamesEachWayItEnds)
{
    ScopedSeam<decltype(g_pfnShellExecuteEx)> elevation(g_pfnShellExecuteEx, ScriptedElevation);
    app.m_strExePath = "C:\\Users\\Visitor\\Downloads\\ZembrioInstaller.exe";
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
        frame->m_bFailed = false;
        Launch(WindowsVista);
        EXPECT_EQ(c.report != nullptr, frame->m_bFailed.load());
        std::vector<std::string> lines = LogLines();
        if (c.report)
            EXPECT_EQ(c.report, lines.back());
        else
            EXPECT_NE(0u, lines.back().rfind("Error=", 0)) << lines.back();
        EXPECT_EQ(c.sleeps, g_script.sleeps.size());

        // The installer itself, elevated, from the system folder, told
        // where the checked downloads are and which to run.
        EXPECT_EQ("runas", g_elevation.verb);
        EXPECT_EQ(app.m_strExePath, g_elevation.file);
        EXPECT_EQ(system, g_elevation.directory);
        InstallStepRequest request;
        ASSERT_TRUE(ParseInstallStep(g_elevation.parameters.c_str(), request)) << g_elevation.parameters;
        EXPECT_EQ(app.m_strTempFolder, request.workingFolder);
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

TEST(FormatTaskLine, SixFieldsNoQuoting)
{
    EXPECT_EQ("C:\\t\\setup.exe,/s /v\"/qn\",C:\\t\\s,C:\\t\\ok,C:\\t\\bad,240",
              FormatTaskLine("C:\\t\\setup.exe", "/s /v\"/qn\"", "C:\\t\\s", "C:\\t\\ok", "C:\\t\\bad", 240));
}

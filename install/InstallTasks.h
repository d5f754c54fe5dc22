// Component installation: the choice of components, the install task file
// read by the install helper, and the launch worker that starts the helper
// (on Windows Vista and later through the elevated installation step,
// install/InstallStep.h) and follows it through its marker files.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include <atomic>
#include <string>
#include "framework/File.h"

class CItemSizes;
class CRunReports;
class DownloadList;

// The launch worker's thread procedure; its parameter is the main frame,
// whose parts it hands to RunLaunch (app/Rooms.cpp).
UINT LaunchThread(void* frame);

// What choosing the components needs.
struct InstallTasksJob {
    CRunReports& reports;
    const CItemSizes& sizes;
    std::string workingFolder;
    std::string installBase;   // the install server folder's address
    UINT systemType;
};
// Registers the components in list and, on the Windows 98 to XP path,
// writes the task file, its bytes kept in taskText; false once a failure has
// been reported, and then nothing is to be downloaded.
bool PlanInstallTasks(const InstallTasksJob& job, DownloadList& list, std::string& taskText);

// What the launch worker reads and changes, the window's.
struct LaunchJob {
    CRunReports& reports;
    DownloadList* downloads;
    std::string workingFolder;
    std::string exePath;    // started elevated as the installation step
    std::string taskText;   // the task file's bytes as written
    HWND window;            // owns the elevation prompt; told of the .NET update
    UINT dotNetInstalledMessage;
    const std::atomic<bool>& cancel;
    std::atomic<bool>& failed;
    std::atomic<bool>& dotNetReady;
    std::atomic<UINT>& systemType;
};
// Starts the helper (on the Vista path the installation step) and follows
// it to the set-up's result; every failure is reported.
void RunLaunch(LaunchJob& job);

extern const char kTaskFile[];          // "installhelpertasks.txt", beside the helper
extern const char kHelperArguments[];   // the helper's parameters, its two files by bare name
// The six markers, the .NET update's then the set-up's, each start,
// success, failure.
extern const char* const kMarkerNames[6];

// A program the helper runs and what its task line says of it.
struct InstallTask {
    const char* program;
    const char* arguments;
    const char* markers;   // the stem of its three marker names
    int seconds;
};
// "dotnetfx.exe", "setup.exe" or "setupm.exe", whatever the letter case;
// null for anything else.
const InstallTask* FindInstallTask(const std::string& program);

// The task file's fields are split at every comma, without quoting: folder,
// or its short form where it has a comma, as task lines write it. False
// when no comma-free form can be had (8.3 names disabled on the volume, say).
bool TaskLineFolder(const std::string& folder, std::string& out);
// One task line of the file, for the task's program in folder, with its
// terminator (CR CR LF, as a text-mode stream makes of the line and CR LF).
// Added to written once it is on the disk.
bool WriteTaskLine(CFile& file, const std::string& folder, const InstallTask& task, std::string& written);

// Where the markers are looked for, and when none can come any more: the
// working folder, or on the Vista path the installation step's folder, whose
// step (the process) reports in its exit code what the folder held before
// it removed it.
class MarkerSource {
public:
    explicit MarkerSource(std::string folder, HANDLE step = nullptr) : m_folder(std::move(folder)), m_step(step) {}
    // Checked before the markers: once it says true, Exists reads the exit
    // code, and nothing new will appear.
    bool Ended();
    bool Exists(const char* name) const;
    // The step's own failure once it has ended, or null.
    const char* StepError(int& category) const;

private:
    std::string m_folder;
    HANDLE m_step;
    DWORD m_exitCode = STILL_ACTIVE;
};

enum MarkerResult { MarkerTimedOut = 0, MarkerDone = 1, MarkerFailed = 2 };

// Sleeps interval seconds, then looks for done (then fail, when given), count
// times at most; a set cancel flag ends the wait early with MarkerTimedOut,
// and so does a step that has ended without either.
int WaitForMarker(const std::atomic<bool>& cancel, MarkerSource& markers, const char* done, const char* fail,
                  int interval, int count);

// One task line of the install task file, without its terminator.
std::string FormatTaskLine(const std::string& program, const char* arguments, const std::string& startMarker,
                           const std::string& successMarker, const std::string& failureMarker, int seconds);

// Tests shorten the marker waits; the product sleeps for real.
extern void (*g_pfnMarkerSleep)(DWORD milliseconds);
// Tests take the short form away, as a volume without 8.3 names does.
extern DWORD(WINAPI* g_pfnGetShortPathName)(LPCSTR longPath, LPSTR shortPath, DWORD size);
// Tests answer for the elevation prompt.
extern BOOL (*g_pfnShellExecuteEx)(SHELLEXECUTEINFOA* info);

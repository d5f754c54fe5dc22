// Component installation: the choice of components, the install task file
// read by the install helper, and the launch worker that starts the helper
// (on Windows Vista and later through the elevated installation step,
// install/InstallStep.h) and follows it through its marker files.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include <atomic>
#include <string>
#include "install/TaskFile.h"

class CItemSizes;
class CRunReports;
class DownloadList;

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

// Tests shorten the marker waits; the product sleeps for real.
extern void (*g_pfnMarkerSleep)(DWORD milliseconds);
// Tests answer for the elevation prompt.
extern BOOL (*g_pfnShellExecuteEx)(SHELLEXECUTEINFOA* info);

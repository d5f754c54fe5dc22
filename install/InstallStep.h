// The installation step on Windows Vista and later, the one part of a run
// that needs an administrator. The window, with the visitor's own rights,
// starts an elevated copy of the installer:
//
//   ZembrioInstaller.exe -installstep "<working folder>" <folder name> <serial> [dotnetfx.exe] <set-up>
//
// The copy shows nothing and reports nothing. It makes a new folder that only
// administrators can write, under the Windows folder's Temp, copies the install
// helper and the programs into it while checking each against release.txt
// (read again from the working folder, which the visitor can write), writes
// the task file there and runs the helper from there. Once the helper has
// ended it removes the folder and ends with a code that gives the outcome and
// the markers the helper left.
#pragma once
#include <windows.h>
#include <string>
#include "download/ReleaseFile.h"

extern const char kInstallStepSwitch[13];   // "-installstep"

struct InstallStepRequest {
    std::string workingFolder;   // where the checked downloads and release.txt are
    std::string folderName;      // the new folder's name: "Zembrio-" and 16 hex digits
    DWORD serial = 0;            // the release the window accepted: nothing older will do
    bool dotNet = false;               // the .NET update runs first
    const char* setup = "setup.exe";   // then "setup.exe" or "setupm.exe"
};

// The command line's tail after the program name, and back. Parsing refuses
// what the window never writes: a folder name other than the one form, a
// program the installation does not run, a quote in the working folder.
std::string FormatInstallStep(const InstallStepRequest& request);
bool ParseInstallStep(const char* tail, InstallStepRequest& request);

// A new folder name from the system's random source; empty when there is none.
std::string NewInstallFolderName();

// How the step ended: the low byte of its exit code.
enum InstallStepOutcome {
    StepHelperEnded,       // the helper ran and ended; the markers tell the rest
    StepBadRequest,        // a command line the window does not write
    StepCantMakeFolder,    // the folder exists already, or cannot be made protected
    StepReleaseChanged,    // release.txt no longer verifies, or is older than the one accepted
    StepComponentChanged,  // a program's bytes are not the release's
    StepCantCopy,          // a program cannot be copied into the folder
    StepCantWriteTasks,    // the task file cannot be written there
    StepCantStartHelper,
    StepHelperStillRunning,   // the helper outlived every time limit; the folder stays for it
};
// exit code = kInstallStepCode | markers << 8 | outcome, markers a bit per
// name of kMarkerNames (install/TaskFile.h), in its order.
const DWORD kInstallStepCode = 0x5A000000;
inline bool IsInstallStepCode(DWORD code) { return (code & 0xFF000000) == kInstallStepCode; }

// The error the window reports for an outcome other than StepHelperEnded,
// with its category; null for StepHelperEnded and StepHelperStillRunning.
const char* InstallStepError(DWORD exitCode, int& category);

// SYSTEM and Administrators full control, Users read and execute, for the
// folder and all made in it, nothing inherited from the folder above (the
// Windows folder's Temp lets every user create there). LocalFree it; null
// where the system cannot build it.
PSECURITY_DESCRIPTOR MakeInstallFolderDescriptor();

// The step itself, in parent (the Windows folder's Temp); returns the exit code.
DWORD RunInstallStep(const InstallStepRequest& request, const std::string& parent, const ReleaseKey* keys,
                     size_t keyCount, DWORD minimumSerial);

// The helper's time limits, added up, and some: the step waits this long for it.
extern DWORD g_dwInstallStepHelperLimit;

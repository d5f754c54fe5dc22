// The install task file the helper reads: the programs it runs, their
// task lines and marker names, wherever the file is written.
#pragma once
#include <windows.h>
#include <string>
#include "framework/File.h"

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

// folder + "\\" + name: a file of the folder the task file lies in.
std::string InFolder(const std::string& folder, const char* name);

// One task line of the install task file, without its terminator.
std::string FormatTaskLine(const std::string& program, const char* arguments, const std::string& startMarker,
                           const std::string& successMarker, const std::string& failureMarker, int seconds);

// Tests take the short form away, as a volume without 8.3 names does.
extern DWORD(WINAPI* g_pfnGetShortPathName)(LPCSTR longPath, LPSTR shortPath, DWORD size);

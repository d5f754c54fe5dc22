// Machine facts: prerequisites, OS family, the running main application,
// free space and file versions.
#pragma once
#include <windows.h>
#include <string>

bool PathExists(const std::string& path);
// A folder, not a file of that name.
bool FolderExists(const std::string& path);
bool IsMainAppRunning();
// Whether a process list's exe-file text (a bare name, or a full path on the
// Windows 9x family) names the main application.
bool IsMainAppExeName(const char* exeFile);
UINT FreeMegabytes(const std::string& path);

// A four-part version (major.minor.build.revision), compared from the left
// as unsigned numbers.
struct FourPartVersion {
    UINT major = 0;
    UINT minor = 0;
    UINT build = 0;
    UINT revision = 0;
};

// The file version of a file's fixed version record; false when the file is
// missing or has no version resource.
bool GetFileVersion(const std::string& path, FourPartVersion& version);
bool VersionAtLeast(const FourPartVersion& a, const FourPartVersion& b);
// a >= b and (a.major, a.minor) below (limitMajor, limitMinor).
bool VersionInBand(const FourPartVersion& a, const FourPartVersion& b, UINT limitMajor, UINT limitMinor);
// Reads "%u.%u.%u.%u" (or with a "v" prefix when vPrefix); a text that yields
// fewer than count numbers does not parse. Missing trailing parts are 0.
bool ParseDottedVersion(const char* text, int count, bool vPrefix, FourPartVersion& version);
std::string VersionText(const FourPartVersion& version);

class CRunReports;

// Each is true when the component must be treated as missing (or too old);
// what they find goes to the run log. The files are looked for under the
// shell's Common Files and Windows folders.
bool IsMdacNeeded(CRunReports& reports, const std::string& commonFiles);
bool IsDotNetNeeded(CRunReports& reports, const std::string& windowsFolder);
bool IsDirectXOld(CRunReports& reports);
// The checks, the Windows family and the main application, as SystemType
// flags (system/SystemType.h). Windows 95 and NT 4.0 are reported as
// unsupported and refused: the flags then hold only what the checks found.
UINT CheckMachine(CRunReports& reports, const std::string& commonFiles, const std::string& windowsFolder,
                  bool& refused);

// The OS version query; tests replace it to act as other Windows families.
extern BOOL(WINAPI* g_pfnGetVersionEx)(OSVERSIONINFOA*);
// kernel32's GetDiskFreeSpaceExA where it has one (every system but the first
// Windows 95), else null and FreeMegabytes asks GetDiskFreeSpaceA; tests
// replace it.
extern BOOL(WINAPI* g_pfnGetDiskFreeSpaceEx)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);

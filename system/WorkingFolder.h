// The working folder under the system's temp folder, and the shell folder set
// resolved through the system's shell or, where that lacks the lookup, the
// shell-folder library the installer carries.
#pragma once
#include <windows.h>
#include <string>

class CRunLog;

// Something at the path that is no folder of the installer's own: a file,
// or a junction or symbolic link. Nothing at all is not foreign.
bool IsForeignFolder(const std::string& path);
// Deletes the folder's files but the run logs, then the folder if empty;
// false, deleting nothing, where the folder is a file, junction or link.
bool PurgeFolder(const std::string& folder);

// This user's working folder: the temp path + "Zembrio"; empty when the
// system has no usable temp path.
std::string UserWorkingFolder();
// Two spellings of one folder: letter case, a final backslash, or the short
// form of a long name.
bool SameFolder(std::string stored, const std::string& own);
// A resumed run takes the stored folder; a fresh start the system's temp
// path + "Zembrio", made where missing (named is then true, and systemTemp
// holds the temp path). The error's name (category fileio), or null.
const char* PrepareWorkingFolder(bool freshStart, const std::string& stored, std::string& folder,
                                 std::string& systemTemp, bool& named);

// The shell folder set, in lookup and log order.
enum ShellFolder {
    FolderCommonFiles,
    FolderWindowsSystem,
    FolderDesktop,
    FolderProgramFiles,
    FolderStartMenu,
    FolderStartup,
    FolderWindows,
    FolderApplicationData,
    ShellFolderCount
};
const char* ShellFolderName(int folder);

typedef HRESULT(WINAPI* SHGetFolderPathAProc)(HWND, int, HANDLE, DWORD, LPSTR);
// The carried library (bytes) written into folder as shfolder.dll, then a
// lookup: the system's where it has one, else the carried library's, loaded
// into library. False when there is none; nothing stays loaded then.
bool FindShellFolderLookup(CRunLog& log, const BYTE* bytes, DWORD size, const std::string& folder,
                           HMODULE& library, SHGetFolderPathAProc& lookup);
// Each folder of the set through lookup, into folders, and into the run log;
// false when not one is known.
bool ReadShellFolders(CRunLog& log, SHGetFolderPathAProc lookup, std::string* folders);

// Tests replace the system's temp path, and the system's folder lookup.
extern DWORD (*g_pfnGetTempPath)(DWORD, LPSTR);
extern SHGetFolderPathAProc (*g_pfnSystemFolderLookup)();

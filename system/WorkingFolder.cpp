// The working folder under the system's temp folder, and the shell folder set
// resolved through the system's shell or, where that lacks the lookup, the
// shell-folder library the installer carries.
#include "system/WorkingFolder.h"
#include "framework/File.h"
#include "framework/SystemLibrary.h"
#include "framework/Text.h"
#include "report/RunLog.h"
#include "system/Prerequisites.h"

static const struct {
    const char* name;
    int csidl;
} kShellFolders[ShellFolderCount] = {
    {"Common Files", 0x2B},     // CSIDL_PROGRAM_FILES_COMMON
    {"Windows System", 0x25},   // CSIDL_SYSTEM
    {"Desktop", 0x10},          // CSIDL_DESKTOPDIRECTORY
    {"Program Files", 0x26},    // CSIDL_PROGRAM_FILES
    {"Start Menu", 0x02},       // CSIDL_PROGRAMS
    {"Startup", 0x07},          // CSIDL_STARTUP
    {"Windows", 0x24},          // CSIDL_WINDOWS
    {"Application Data", 0x1A}, // CSIDL_APPDATA
};

const char* ShellFolderName(int folder)
{
    return folder >= 0 && folder < ShellFolderCount ? kShellFolders[folder].name : nullptr;
}

// Tests replace the system's temp path to reach the buffer limit.
DWORD (*g_pfnGetTempPath)(DWORD, LPSTR) = [](DWORD size, LPSTR buf) -> DWORD { return GetTempPathA(size, buf); };

// A junction or symbolic link would send the writes and the purge into a
// folder someone else chose. Nothing at all is not refused here: a missing
// folder is made or reported anew.
bool IsForeignFolder(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT));
}

std::string UserWorkingFolder()
{
    char temp[MAX_PATH];
    DWORD len = g_pfnGetTempPath(MAX_PATH, temp);
    return len == 0 || len >= MAX_PATH ? std::string() : std::string(temp) + "Zembrio";
}

// Two spellings of one folder: letter case, a final backslash, or the short
// form of a long name (the system's temp path comes in either form). Only
// the own spelling is used afterwards, so this decides no more than whether
// the record's folder is resumed from.
bool SameFolder(std::string stored, const std::string& own)
{
    if (!stored.empty() && stored.back() == '\\')
        stored.pop_back();
    if (stored.empty() || own.empty())
        return false;
    if (lstrcmpiA(stored.c_str(), own.c_str()) == 0)
        return true;
    char shortStored[MAX_PATH] = "", shortOwn[MAX_PATH] = "";
    DWORD lenStored = GetShortPathNameA(stored.c_str(), shortStored, MAX_PATH);
    DWORD lenOwn = GetShortPathNameA(own.c_str(), shortOwn, MAX_PATH);
    return lenStored && lenStored < MAX_PATH && lenOwn && lenOwn < MAX_PATH && lstrcmpiA(shortStored, shortOwn) == 0;
}

const char* PrepareWorkingFolder(bool freshStart, const std::string& stored, std::string& folder,
                                 std::string& systemTemp, bool& named)
{
    named = false;
    if (!freshStart) {
        folder = stored;
        return IsForeignFolder(folder) ? "unsafetempfolder" : nullptr;
    }
    char temp[MAX_PATH];
    // Success returns the length without the terminating zero, so 260 or
    // more means the path does not fit.
    DWORD len = g_pfnGetTempPath(MAX_PATH, temp);
    if (len == 0 || len >= MAX_PATH)
        return "cantcreatetempfolder2";
    systemTemp = temp;
    folder = systemTemp + "Zembrio";
    named = true;
    // Every program of the user can put something at that path before the
    // installer comes; only a folder it can call its own is used.
    if (IsForeignFolder(folder))
        return "unsafetempfolder";
    if (!FolderExists(folder) && !CreateDirectoryA(folder.c_str(), nullptr))
        return "cantcreatetempfolder1";
    return nullptr;
}

bool PurgeFolder(const std::string& folder)
{
    // Through a junction or symbolic link the purge would delete another
    // folder's files (and Wine's RemoveDirectoryA removes the link's target).
    if (IsForeignFolder(folder))
        return false;
    if (PathExists(folder)) {
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((folder + "\\*.*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    continue;
                std::string path = folder + "\\" + found.cFileName;
                // Run logs outlive every purge, and with them the folder.
                if (path.find("log.txt") == std::string::npos)
                    DeleteFileA(path.c_str());
            } while (FindNextFileA(find, &found));
            FindClose(find);
        }
    }
    RemoveDirectoryA(folder.c_str());
    return true;
}

// Shell32's own folder lookup, where the system has one (2000, ME and
// later); tests take it away to reach the carried library. shell32 comes
// from the system folder, loaded here for the first time.
SHGetFolderPathAProc (*g_pfnSystemFolderLookup)() = []() {
    HMODULE shell = SystemShell32();
    return shell ? (SHGetFolderPathAProc)GetProcAddress(shell, "SHGetFolderPathA") : nullptr;
};

bool FindShellFolderLookup(CRunLog& log, const BYTE* bytes, DWORD size, const std::string& folder,
                           HMODULE& library, SHGetFolderPathAProc& lookup)
{
    library = nullptr;
    lookup = nullptr;
    if (!bytes || !size)
        return false;
    std::string path = folder + "\\shfolder.dll";
    CFile file;
    if (!file.Open(path.c_str(), CFile::modeCreate | CFile::modeCreateFresh | CFile::modeWrite))
        return false;
    try {
        file.Write(bytes, size);
        file.Close();
        log.Write("shfolder.dll", path.c_str());
    } catch (const CFileException&) {
        // A copy that cannot be written fails to load below.
        file.Close();
    }

    // Every program of the user can replace a file in the working folder:
    // code is loaded from there only where the system has no lookup of its
    // own.
    lookup = g_pfnSystemFolderLookup();
    if (lookup)
        return true;
    library = LoadLibraryA(path.c_str());
    if (library)
        lookup = (SHGetFolderPathAProc)GetProcAddress(library, "SHGetFolderPathA");
    if (lookup)
        return true;
    if (library)
        FreeLibrary(library);
    library = nullptr;
    return false;
}

bool ReadShellFolders(CRunLog& log, SHGetFolderPathAProc lookup, std::string* folders)
{
    bool found = false;
    for (int i = 0; i < ShellFolderCount; i++) {
        char path[MAX_PATH] = "";
        lookup(nullptr, kShellFolders[i].csidl, nullptr, 0, path);
        folders[i] = path;
        found = found || path[0];
    }
    for (int i = 0; i < ShellFolderCount; i++)
        log.Write(kShellFolders[i].name, folders[i].c_str());
    // Without a single folder the installation would land in the root of
    // the current drive.
    return found;
}

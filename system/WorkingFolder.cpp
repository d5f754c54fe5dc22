// The working folder under the system's temp folder, and the shell folder set
// resolved through the system's shell or, where that lacks the lookup, the
// shell-folder library the installer carries.
#include "app/InstallerApp.h"
#include "framework/SystemLibrary.h"
#include "app/MainFrame.h"
#include "app/Resource.h"
#include "framework/Text.h"
#include "framework/File.h"
#include "system/Prerequisites.h"
#include "system/WorkingFolder.h"

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

const char* CInstallerApp::ShellFolderName(int folder)
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

std::string CInstallerApp::UserWorkingFolder() const
{
    char temp[MAX_PATH];
    DWORD len = g_pfnGetTempPath(MAX_PATH, temp);
    return len == 0 || len >= MAX_PATH ? std::string() : std::string(temp) + "Zembrio";
}

// Two spellings of one folder: letter case, a final backslash, or the short
// form of a long name (the system's temp path comes in either form). Only
// the own spelling is used afterwards, so this decides no more than whether
// the record's folder is resumed from.
static bool SameFolder(std::string stored, const std::string& own)
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

bool CInstallerApp::TakeStoredTempPath()
{
    std::string own = UserWorkingFolder();
    if (SameFolder(m_strTempPath, own)) {
        m_strTempPath = own;
        return true;
    }
    m_strRefusedTempPath = m_strTempPath;
    return false;
}

bool CInstallerApp::PrepareWorkingFolder()
{
    if (!m_bFreshStart) {
        m_strTempFolder = m_strTempPath;
        if (IsForeignFolder(m_strTempFolder)) {
            MainFrame()->ReportError(CategoryFileIO, "unsafetempfolder", true, true);
            return false;
        }
        return true;
    }
    char temp[MAX_PATH];
    // Success returns the length without the terminating zero, so 260 or
    // more means the path does not fit.
    DWORD len = g_pfnGetTempPath(MAX_PATH, temp);
    if (len == 0 || len >= MAX_PATH) {
        MainFrame()->ReportError(CategoryFileIO, "cantcreatetempfolder2", true, true);
        return false;
    }
    m_strSystemTempPath = temp;
    m_strTempFolder = m_strSystemTempPath + "Zembrio";
    bool ok = true;
    // Every program of the user can put something at that path before the
    // installer comes; only a folder it can call its own is used.
    if (IsForeignFolder(m_strTempFolder)) {
        MainFrame()->ReportError(CategoryFileIO, "unsafetempfolder", true, true);
        ok = false;
    } else if (!FolderExists(m_strTempFolder) && !CreateDirectoryA(m_strTempFolder.c_str(), nullptr)) {
        MainFrame()->ReportError(CategoryFileIO, "cantcreatetempfolder1", true, true);
        ok = false;
    }
    m_strTempPath = m_strTempFolder;
    return ok;
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
CInstallerApp::SHGetFolderPathAProc (*g_pfnSystemFolderLookup)() = []() {
    HMODULE shell = SystemShell32();
    return shell ? (CInstallerApp::SHGetFolderPathAProc)GetProcAddress(shell, "SHGetFolderPathA") : nullptr;
};

// The carried library's bytes; tests carry another library.
const BYTE* (*g_pfnShellFolderLibraryBytes)(DWORD*) = [](DWORD* size) {
    return LoadResourceBytes(IDR_SHELL_FOLDER_DLL, "DLL", size);
};

bool CInstallerApp::ExtractShellFolderLibrary()
{
    DWORD size = 0;
    const BYTE* bytes = g_pfnShellFolderLibraryBytes(&size);
    if (!bytes || !size) {
        MainFrame()->ReportError(CategoryFileIO, "cantextractshelldll", true, true);
        return false;
    }

    std::string path = m_strTempFolder + "\\shfolder.dll";
    CFile file;
    if (!file.Open(path.c_str(), CFile::modeCreate | CFile::modeCreateFresh | CFile::modeWrite)) {
        MainFrame()->ReportError(CategoryFileIO, "cantextractshelldll", true, true);
        return false;
    }
    try {
        file.Write(bytes, size);
        file.Close();
        WriteRunLog("shfolder.dll", path);
    } catch (const CFileException&) {
        // A copy that cannot be written fails to load below.
        file.Close();
    }

    // Every program of the user can replace a file in the working folder,
    // also under an elevated installer: code is loaded from there only
    // where the system has no lookup of its own.
    m_pfnSHGetFolderPath = g_pfnSystemFolderLookup();
    if (m_pfnSHGetFolderPath)
        return true;

    m_hShellFolderLib = LoadLibraryA(path.c_str());
    if (m_hShellFolderLib)
        m_pfnSHGetFolderPath = (SHGetFolderPathAProc)GetProcAddress(m_hShellFolderLib, "SHGetFolderPathA");
    if (m_pfnSHGetFolderPath)
        return true;
    ReleaseShellFolderLibrary();
    MainFrame()->ReportError(CategoryFileIO, "cantextractshelldll", true, true);
    return false;
}

bool CInstallerApp::ReadShellFolders()
{
    if (!m_pfnSHGetFolderPath)
        return true;
    bool found = false;
    for (int i = 0; i < ShellFolderCount; i++) {
        char path[MAX_PATH] = "";
        m_pfnSHGetFolderPath(nullptr, kShellFolders[i].csidl, nullptr, 0, path);
        m_astrShellFolder[i] = path;
        found = found || path[0];
    }
    for (int i = 0; i < ShellFolderCount; i++)
        WriteRunLog(kShellFolders[i].name, m_astrShellFolder[i]);
    // Without a single folder the installation would land in the root of
    // the current drive.
    return found;
}

bool CInstallerApp::ReleaseShellFolderLibrary()
{
    if (m_hShellFolderLib)
        FreeLibrary(m_hShellFolderLib);
    m_hShellFolderLib = nullptr;
    m_pfnSHGetFolderPath = nullptr;
    return true;
}

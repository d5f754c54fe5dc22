#include "system/Prerequisites.h"
#include <mbstring.h>
#include <tlhelp32.h>
#include <cstdio>
#include "report/RunReports.h"
#include "system/SystemType.h"
#include "framework/FileVersionInfo.h"
#include "framework/SystemLibrary.h"
#include "framework/Text.h"

BOOL(WINAPI* g_pfnGetVersionEx)(OSVERSIONINFOA*) = GetVersionExA;

bool PathExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool FolderExists(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsMainAppExeName(const char* exeFile)
{
    // The 9x family lists full paths, NT bare names: only the file name
    // counts. CharNextA so a double-byte character's trail byte is never
    // taken for a backslash.
    const char* name = exeFile;
    for (const char* p = exeFile; *p; p = CharNextA(p))
        if (*p == '\\' || *p == '/')
            name = p + 1;
    return lstrcmpiA(name, "zembriomain.exe") == 0;
}

bool IsMainAppRunning()
{
    // Looked up, not imported: NT 4.0's kernel32 has no process snapshots,
    // and the installer must still load there to say it does not support it.
    typedef HANDLE(WINAPI * SnapshotProc)(DWORD, DWORD);
    typedef BOOL(WINAPI * ProcessProc)(HANDLE, PROCESSENTRY32*);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto snapshotProc = (SnapshotProc)(void*)GetProcAddress(kernel, "CreateToolhelp32Snapshot");
    auto firstProc = (ProcessProc)(void*)GetProcAddress(kernel, "Process32First");
    auto nextProc = (ProcessProc)(void*)GetProcAddress(kernel, "Process32Next");
    if (!snapshotProc || !firstProc || !nextProc)
        return false;
    HANDLE snapshot = snapshotProc(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = firstProc(snapshot, &entry); more && !found; more = nextProc(snapshot, &entry))
        found = IsMainAppExeName(entry.szExeFile);
    CloseHandle(snapshot);
    return found;
}

// Looked up, not imported: the first Windows 95 lacks it.
BOOL(WINAPI* g_pfnGetDiskFreeSpaceEx)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER) = [] {
    decltype(g_pfnGetDiskFreeSpaceEx) function;
    ResolveFunction(GetModuleHandleA("kernel32.dll"), "GetDiskFreeSpaceExA", function);
    return function;
}();

UINT FreeMegabytes(const std::string& path)
{
    std::string root = path.substr(0, 3);
    if (!g_pfnGetDiskFreeSpaceEx) {
        // Exact where GetDiskFreeSpaceExA is missing: no volume there
        // exceeds 2 GB.
        DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
        if (!GetDiskFreeSpaceA(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
            return 0;
        return (UINT)(((ULONGLONG)freeClusters * sectorsPerCluster * bytesPerSector) >> 20);
    }
    ULARGE_INTEGER available, total, totalFree;
    if (!g_pfnGetDiskFreeSpaceEx(root.c_str(), &available, &total, &totalFree))
        return 0;
    return (UINT)(totalFree.QuadPart >> 20);
}

bool GetFileVersion(const std::string& path, FourPartVersion& version)
{
    VS_FIXEDFILEINFO info;
    if (!ReadFixedFileInfo(path, info))
        return false;
    version.major = HIWORD(info.dwFileVersionMS);
    version.minor = LOWORD(info.dwFileVersionMS);
    version.build = HIWORD(info.dwFileVersionLS);
    version.revision = LOWORD(info.dwFileVersionLS);
    return true;
}

bool VersionAtLeast(const FourPartVersion& a, const FourPartVersion& b)
{
    if (a.major != b.major)
        return a.major > b.major;
    if (a.minor != b.minor)
        return a.minor > b.minor;
    if (a.build != b.build)
        return a.build > b.build;
    return a.revision >= b.revision;
}

bool VersionInBand(const FourPartVersion& a, const FourPartVersion& b, UINT limitMajor, UINT limitMinor)
{
    bool belowLimit = a.major < limitMajor || (a.major == limitMajor && a.minor < limitMinor);
    return VersionAtLeast(a, b) && belowLimit;
}

bool ParseDottedVersion(const char* text, int count, bool vPrefix, FourPartVersion& version)
{
    version = FourPartVersion();
    // The C library's own sscanf: mingw's, which the C++ headers pick,
    // brings its floating-point reader into the stub.
    int n = __ms_sscanf(text, vPrefix ? "v%u.%u.%u.%u" : "%u.%u.%u.%u", &version.major, &version.minor,
                   &version.build, &version.revision);
    if (n < count) {
        version = FourPartVersion();
        return false;
    }
    if (count < 4)
        version.revision = 0;
    if (count < 3)
        version.build = 0;
    return true;
}

std::string VersionText(const FourPartVersion& v)
{
    return Format("%d.%d.%d.%d", (int)v.major, (int)v.minor, (int)v.build, (int)v.revision);
}

// Reads a string value into a 260-byte buffer; false when it cannot be read.
static bool ReadRegString(HKEY key, const char* name, std::string& value)
{
    char buffer[MAX_PATH] = "";
    DWORD size = sizeof buffer - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, (BYTE*)buffer, &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    buffer[size < sizeof buffer ? size : sizeof buffer - 1] = 0;
    value = buffer;
    return true;
}

static const FourPartVersion kMdacMinimum = {2, 71, 9030, 0};
static const FourPartVersion kDotNetMinimum = {2, 0, 50727, 0};

bool IsMdacNeeded(CRunReports& reports, const std::string& commonFiles)
{
    auto Log = [&reports](const char* name, const std::string& value) { reports.WriteRunLog(name, value); };
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\DataAccess", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        Log("MDAC Reg Ver", "Not Installed-2");
        return true;
    }
    std::string text;
    bool read = ReadRegString(key, "FullInstallVer", text);
    RegCloseKey(key);
    if (!read) {
        Log("MDAC Reg Ver", "Not Installed-1");
        return true;
    }
    Log("MDAC Reg Ver", text);
    FourPartVersion registered;
    if (!ParseDottedVersion(text.c_str(), 4, false, registered) || !VersionAtLeast(registered, kMdacMinimum))
        return true;

    std::string dll = commonFiles + "\\system\\ado\\msado15.dll";
    FourPartVersion file;
    if (!GetFileVersion(dll, file)) {
        Log("IsMDACNeeded Error", "msado15.dll does not contain version information or does not exist");
        return true;
    }
    Log("MSADO15.DLL Ver", VersionText(file));
    return !VersionAtLeast(file, kMdacMinimum);
}

bool IsDotNetNeeded(CRunReports& reports, const std::string& windowsFolder)
{
    auto Log = [&reports](const char* name, const std::string& value) { reports.WriteRunLog(name, value); };
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\NET Framework Setup\\NDP", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        Log("DOTNET FX Ver", "Not Installed");
        return true;
    }
    bool needed = true;
    for (DWORD index = 0;; index++) {
        char name[256] = "";
        DWORD length = sizeof name;
        LONG result = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) {
            Log("IsDotnetNeeded Error", "can't enumerate registry keys");
            break;
        }
        Log("DOTNET FX Ver", name);
        FourPartVersion subkey;
        if (!ParseDottedVersion(name, 3, true, subkey) || !VersionInBand(subkey, kDotNetMinimum, 3, 0))
            continue;

        // The first 2.x subkey decides; later ones are never looked at.
        std::string dll = windowsFolder + "\\Microsoft.NET\\Framework\\" +
                          name + "\\mscorlib.dll";
        FourPartVersion file;
        if (!GetFileVersion(dll, file)) {
            Log("IsDotnetNeeded Error", "mscorlib.dll does not contain version information");
        } else {
            Log("MSCORLIB.DLL Ver", VersionText(file));
            needed = !VersionInBand(file, kDotNetMinimum, 3, 0);
        }
        break;
    }
    RegCloseKey(key);
    return needed;
}

bool IsDirectXOld(CRunReports& reports)
{
    auto Log = [&reports](const char* name, const std::string& value) { reports.WriteRunLog(name, value); };
    // Full access on purpose: without write access to the key DirectX counts
    // as old, as it always has.
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\DirectX", 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS) {
        Log("DirectX Reg Ver", "Not Installed-2");
        return true;
    }
    std::string text;
    bool read = ReadRegString(key, "Version", text);
    RegCloseKey(key);
    if (!read) {
        Log("DirectX Reg Ver", "Not Installed-1");
        return true;
    }
    Log("DirectX Reg Ver", text);
    return _mbscmp((const unsigned char*)text.c_str(), (const unsigned char*)"4.08") <= 0;
}

// The product's own record of where its main application lives.
static bool MainAppInstalled()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Zembrio", 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    std::string folder;
    bool read = ReadRegString(key, "ZembrioAppPath", folder);
    RegCloseKey(key);
    if (!read || folder.empty())
        return false;
    size_t first = folder.find_first_not_of('"');
    if (first == std::string::npos)
        folder.clear();
    else
        folder = folder.substr(first, folder.find_last_not_of('"') - first + 1);
    if (folder.empty() || folder[folder.size() - 1] != '\\')
        folder += "\\";
    return PathExists(folder + "ZembrioMain.exe");
}

UINT CheckMachine(CRunReports& reports, const std::string& commonFiles, const std::string& windowsFolder,
                  bool& refused)
{
    refused = false;
    UINT type = 0;
    if (IsMdacNeeded(reports, commonFiles))
        type |= NeedMdac;
    if (IsDotNetNeeded(reports, windowsFolder))
        type |= NeedDotNet;
    if (IsDirectXOld(reports))
        type |= OldDirectX;

    OSVERSIONINFOA os = {};
    os.dwOSVersionInfoSize = sizeof os;
    bool known = g_pfnGetVersionEx(&os) != FALSE;
    if (known && os.dwMajorVersion == 4 && os.dwMinorVersion == 0) {
        refused = true;
        reports.ReportError(CategoryUnsupportedOS, "nt4orw95", true, true);
        return type;
    }
    if (known) {
        if (os.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
            type |= Windows9x;
        else if (os.dwPlatformId == VER_PLATFORM_WIN32_NT && os.dwMajorVersion == 5) {
            if (os.dwMinorVersion == 0)
                type |= Windows2000;
        } else if (os.dwMajorVersion == 6)
            type |= WindowsVista;
    }
    if (type & WindowsVista)
        type &= ~NeedDotNet;
    if (MainAppInstalled())
        type |= MainAppPresent;
    return type;
}

#include "system/Prerequisites.h"
#include <tlhelp32.h>
#include "app/InstallerApp.h"
#include "app/MainFrame.h"

bool PathExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsMainAppRunning()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32First(snapshot, &entry); more && !found; more = Process32Next(snapshot, &entry))
        found = lstrcmpiA(entry.szExeFile, "zembriomain.exe") == 0;
    CloseHandle(snapshot);
    return found;
}

UINT FreeMegabytes(const std::string& path)
{
    std::string root = path.substr(0, 3);
    ULARGE_INTEGER available, total, totalFree;
    if (!GetDiskFreeSpaceExA(root.c_str(), &available, &total, &totalFree))
        return 0;
    return (UINT)(totalFree.QuadPart >> 20);
}

// Detection of MDAC, .NET and DirectX is not built yet: nothing counts as
// missing, so no prerequisite is downloaded.
void CMainFrame::CheckPrerequisites()
{
    m_nSystemType = 0;
    m_bDotNetReady = true;
}

// The installer state: the record in the profile that lets an interrupted
// installation resume (working folder, sizes, user id) and lets the
// uninstallation find what self-installation made.
#include <mbstring.h>
#include "app/InstallerApp.h"
#include "framework/Text.h"

// Every value lives directly in the application's profile key.
static const char kSection[] = "";
// A handful of items is normal; a damaged NumItems must not hang start-up.
static const int kMaxItems = 256;

void CInstallerApp::LoadState()
{
    m_strVersion = GetProfileString(kSection, "Version");
    m_nReleaseSerial = GetProfileInt(kSection, "ReleaseSerial", 0);
    m_nSystemType = GetProfileInt(kSection, "SystemType", 0);
    m_bCompleted = GetProfileInt(kSection, "Completed", 0);
    m_strTempPath = GetProfileString(kSection, "TempPath");
    m_bUIFlag = GetProfileInt(kSection, "UIFlag", 0);
    m_strUserId = GetProfileString(kSection, "UserId");
    m_strUninstallFolder = GetProfileString(kSection, "UninstallFolder");
    m_strUninstallExecutable = GetProfileString(kSection, "UninstallExecutable");
    m_strUninstallDesktopIcon = GetProfileString(kSection, "UninstallDesktopIcon");
    m_strUninstallStartMenuIcon = GetProfileString(kSection, "UninstallStartMenuIcon");
    m_strUninstallStartupIcon = GetProfileString(kSection, "UninstallStartupIcon");

    m_astrItemURL.clear();
    m_anItemSize.clear();
    int count = (int)GetProfileInt(kSection, "NumItems", 0);
    if (count > kMaxItems)
        count = kMaxItems;
    for (int i = 0; i < count; i++) {
        m_astrItemURL.push_back(GetProfileString(kSection, Format("ItemURL%d", i).c_str()));
        m_anItemSize.push_back(GetProfileInt(kSection, Format("ItemSize%d", i).c_str(), 0));
    }
    m_bStateLoaded = true;
}

void CInstallerApp::SaveReleaseSerial(DWORD serial)
{
    if (serial <= m_nReleaseSerial)
        return;
    m_nReleaseSerial = serial;
    WriteProfileInt(kSection, "ReleaseSerial", (int)serial);
}

void CInstallerApp::SaveStartState()
{
    WriteProfileString(kSection, "Version", m_strVersion.c_str());
    WriteProfileInt(kSection, "SystemType", (int)m_nSystemType);
    WriteProfileString(kSection, "TempPath", m_strTempPath.c_str());
    WriteProfileInt(kSection, "UIFlag", m_bUIFlag);
    WriteProfileString(kSection, "UserId", m_strUserId.c_str());
}

void CInstallerApp::SaveProgressState()
{
    WriteProfileInt(kSection, "Completed", m_bCompleted);
    WriteProfileString(kSection, "UninstallFolder", m_strUninstallFolder.c_str());
    WriteProfileString(kSection, "UninstallExecutable", m_strUninstallExecutable.c_str());
    WriteProfileString(kSection, "UninstallDesktopIcon", m_strUninstallDesktopIcon.c_str());
    WriteProfileString(kSection, "UninstallStartMenuIcon", m_strUninstallStartMenuIcon.c_str());
    WriteProfileString(kSection, "UninstallStartupIcon", m_strUninstallStartupIcon.c_str());
    // Items beyond the new count stay in the profile; NumItems bounds reading.
    WriteProfileInt(kSection, "NumItems", (int)m_astrItemURL.size());
    for (size_t i = 0; i < m_astrItemURL.size(); i++) {
        WriteProfileString(kSection, Format("ItemURL%d", (int)i).c_str(), m_astrItemURL[i].c_str());
        UINT size = i < m_anItemSize.size() ? m_anItemSize[i] : 0;
        WriteProfileInt(kSection, Format("ItemSize%d", (int)i).c_str(), (int)size);
    }
}

UINT CInstallerApp::RememberedItemSize(const std::string& url) const
{
    for (size_t i = 0; i < m_astrItemURL.size(); i++) {
        if (_mbsicmp((const unsigned char*)m_astrItemURL[i].c_str(), (const unsigned char*)url.c_str()) == 0)
            return i < m_anItemSize.size() ? m_anItemSize[i] : 0;
    }
    return 0;
}

bool CInstallerApp::ChecksRecorded() const
{
    return (m_nSystemType & WindowsVista) || !m_strUninstallExecutable.empty();
}

bool CInstallerApp::DecideFreshStart()
{
    // Any program of the user can write the record: its folder is resumed
    // from only where it is this user's own working folder, never one the
    // elevated installer would be sent to write into, run from and purge.
    DWORD attributes;
    bool resume = m_strVersion == m_strExeVersion && !m_bCompleted && !m_strTempPath.empty() && m_bUIFlag &&
                  TakeStoredTempPath() &&
                  (attributes = GetFileAttributesA(m_strTempPath.c_str())) != INVALID_FILE_ATTRIBUTES &&
                  (attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (resume)
        return false;
    m_strVersion = m_strExeVersion;
    m_nSystemType = 0;
    m_bCompleted = FALSE;
    m_strTempPath.clear();
    m_bUIFlag = FALSE;
    return true;
}

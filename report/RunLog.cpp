// The run log: "name=value" lines appended to log.txt in the working folder.
// The file is opened for each line and closed again, so people can read it
// while the installer runs; a lock keeps lines from different threads whole.
#include "app/InstallerApp.h"
#include "framework/File.h"

bool CInstallerApp::OpenRunLog()
{
    CSingleLock hold(m_logLock);
    if (m_bLogEnabled)
        return true;
    m_strLogPath = m_strTempFolder + "\\log.txt";
    CFile file;
    if (!file.Open(m_strLogPath.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite |
                                             CFile::shareDenyWrite))
        return false;
    file.Close();
    m_bLogEnabled = true;
    return true;
}

bool CInstallerApp::WriteRunLog(const char* name, const char* value)
{
    std::string line = std::string(name) + "=" + (value ? value : "") + "\r\n";
    CSingleLock hold(m_logLock);
    if (!m_bLogEnabled)
        return false;
    CFile file;
    if (!file.Open(m_strLogPath.c_str(), CFile::modeWrite | CFile::shareDenyWrite))
        return false;
    try {
        file.SeekToEnd();
        file.Write(line.data(), (UINT)line.size());
    } catch (const CFileException&) {
        // A full disk loses the line, never the run.
    }
    file.Close();
    return true;
}

void CInstallerApp::CloseRunLog()
{
    CSingleLock hold(m_logLock);
    m_bLogEnabled = false;
}

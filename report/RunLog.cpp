// The file is opened for each line and closed again, so people can read it
// while the installer runs; a lock keeps lines from different threads whole.
#include "report/RunLog.h"
#include "framework/File.h"

bool CRunLog::Open(const std::string& folder)
{
    CSingleLock hold(m_lock);
    if (m_bEnabled)
        return true;
    m_strPath = folder + "\\log.txt";
    CFile file;
    if (!file.Open(m_strPath.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite |
                                          CFile::shareDenyWrite))
        return false;
    file.Close();
    m_bEnabled = true;
    return true;
}

bool CRunLog::Write(const char* name, const char* value)
{
    std::string line = std::string(name) + "=" + (value ? value : "") + "\r\n";
    CSingleLock hold(m_lock);
    if (!m_bEnabled)
        return false;
    CFile file;
    if (!file.Open(m_strPath.c_str(), CFile::modeWrite | CFile::shareDenyWrite))
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

void CRunLog::Close()
{
    CSingleLock hold(m_lock);
    m_bEnabled = false;
}

std::string CRunLog::Path() const
{
    CSingleLock hold(m_lock);
    return m_strPath;
}

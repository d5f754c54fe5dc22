// Self-installation is not built yet: nothing is copied or registered, so
// there is nothing to resume from and nothing to remove.
#include "app/InstallerApp.h"

bool CInstallerApp::InstallSelf()
{
    return true;
}

bool CInstallerApp::RelaunchFromWorkingFolder(bool)
{
    return false;
}

bool CInstallerApp::CreateShortcut(const std::string&, const std::string&, const std::string&)
{
    return false;
}

bool CInstallerApp::RemoveInstallation()
{
    m_bCompleted = TRUE;
    return true;
}

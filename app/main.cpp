#include "app/InstallerApp.h"

// The one application object of the process.
CInstallerApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR cmdLine, int)
{
    return AfxWinMain(instance, cmdLine);
}

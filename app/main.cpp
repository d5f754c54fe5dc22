#include <cstdlib>
#include "app/InstallerApp.h"
#include "framework/SystemLibrary.h"

// The one application object of the process.
CInstallerApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR cmdLine, int)
{
    RestrictLibrarySearchToSystemFolder();
    return AfxWinMain(instance, cmdLine);
}

// An escaped exception ends the process without the library's verbose
// handler, which would link a whole C++ name demangler into the stub.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    abort();
}
}

#include <cstdlib>
#include "app/InstallerApp.h"
#include "framework/SystemLibrary.h"

// The one application object of the process. Never destroyed: a worker or
// the report sender still blocked on the network at exit goes on using the
// session, the run log and the reporter until the process ends, which ends
// the thread too.
static CInstallerApp& theApp = *new CInstallerApp;

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

#include <cstdlib>
#include "app/InstallerApp.h"
#include <cstring>
#include "framework/SystemLibrary.h"
#include "app/Rooms.h"
#include "install/InstallStep.h"
#include "ReleaseKeys.h"

// The one application object of the process. Never destroyed: a worker or
// the report sender still blocked on the network at exit goes on using the
// session, the run log and the reporter until the process ends, which ends
// the thread too.
static CInstallerApp& theApp = *new CInstallerApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR cmdLine, int)
{
    RestrictLibrarySearchToSystemFolder();
    // The elevated installation step: no window, no application object.
    if (!strncmp(cmdLine, kInstallStepSwitch, sizeof kInstallStepSwitch - 1)) {
        InstallStepRequest request;
        if (!ParseInstallStep(cmdLine, request))
            return kInstallStepCode | StepBadRequest;
        char windows[MAX_PATH] = "";
        GetWindowsDirectoryA(windows, MAX_PATH);
        size_t keyCount = 0;
        const ReleaseKey* keys = BuiltInReleaseKeys(keyCount);
        return RunInstallStep(request, std::string(windows) + "\\Temp", keys, keyCount, ZEMBRIO_MIN_RELEASE_SERIAL);
    }
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

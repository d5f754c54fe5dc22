// Libraries outside the always-system-loaded set are loaded by full path from
// the system folder: a copy of the same name beside the installer, in a
// visitor's downloads folder, is never loaded.
#pragma once
#include <windows.h>

// The library of that name in the system folder, or null.
HMODULE LoadSystemLibrary(const char* name);

// Libraries outside the always-system-loaded set are loaded by full path from
// the system folder: a copy of the same name beside the installer, in a
// visitor's downloads folder, is never loaded. Functions that older systems
// lack are looked up, not imported, so the installer still loads there.
#pragma once
#include <windows.h>
#include <shellapi.h>

// The library of that name in the system folder, or null.
HMODULE LoadSystemLibrary(const char* name);

// The function of that name in library, as the pointer type of function;
// false (and function null) when library is null or lacks it.
template <class F>
bool ResolveFunction(HMODULE library, const char* name, F& function)
{
    function = library ? reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(library, name))) : nullptr;
    return function != nullptr;
}

// Where the system can (Windows 8 and later, 7 and Vista with update
// KB2533623), libraries loaded later by bare name, the system libraries' own
// dependencies included, come from the system folder only, never from the
// installer's folder or the current one. Elsewhere nothing changes. Called
// first thing at start.
void RestrictLibrarySearchToSystemFolder();

// The shell's ShellExecuteA and ShellExecuteExA, with shell32 loaded when
// first needed: nothing before the window's first paint uses it, and it is
// one of the largest libraries a start would otherwise map. They fail as
// the originals do (ShellExecute's value 31, SE_ERR_NOASSOC; FALSE) where
// the library cannot be had.
// The system's shell32, loaded once by full path when first asked for.
HMODULE SystemShell32();
HINSTANCE ShellExecuteLate(HWND owner, const char* verb, const char* file, const char* parameters,
                           const char* folder, int show);
BOOL ShellExecuteExLate(SHELLEXECUTEINFOA* info);

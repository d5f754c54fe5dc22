// Stand-ins for functions the toolchain's own libraries import but the
// oldest Windows the installer runs on lack. LegacyImports.c hooks them into
// the 32-bit installer in place of the system's imports.
#pragma once
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// CreateSemaphoreW through CreateSemaphoreA: the Windows 9x family has no
// working wide version. A name the ANSI code page cannot carry fails with
// ERROR_NO_UNICODE_TRANSLATION rather than naming another semaphore.
HANDLE WINAPI AnsiCreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum, LPCWSTR name);

// rand_s from the system's random generator where it has one (XP and
// later); EINVAL elsewhere and for a null pointer.
int __cdecl SystemRandS(unsigned int* value);

// The C runtime's LC_CTYPE code page (0 for the "C" locale), which mingw's
// wide-character conversions ask for: from msvcrt.dll's own query where it
// has one (XP and later), else its code page variable, else the locale name.
unsigned int __cdecl CrtCodePage(void);

#ifdef __cplusplus
}
#endif

#include "framework/LegacyImports.h"
#include <errno.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>

HANDLE WINAPI AnsiCreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum, LPCWSTR name)
{
    char ansi[MAX_PATH];
    BOOL lossy = FALSE;
    if (!name)
        return CreateSemaphoreA(attributes, initial, maximum, NULL);
    if (!WideCharToMultiByte(CP_ACP, 0, name, -1, ansi, sizeof ansi, NULL, &lossy))
        return NULL; // longer than any object name may be
    if (lossy) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return NULL;
    }
    return CreateSemaphoreA(attributes, initial, maximum, ansi);
}

int __cdecl SystemRandS(unsigned int* value)
{
    typedef BOOLEAN(WINAPI * GenRandom)(PVOID, ULONG);
    // advapi32 is loaded already: the installer imports it.
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    GenRandom generate = advapi ? (GenRandom)(void (*)(void))GetProcAddress(advapi, "SystemFunction036") : NULL;
    if (!value)
        return EINVAL;
    if (!generate || !generate(value, sizeof *value)) {
        *value = 0;
        return EINVAL;
    }
    return 0;
}

typedef unsigned int(__cdecl* CodePageQuery)(void);
static CodePageQuery g_codePageQuery;
static const unsigned int* g_crtCodePage;

static unsigned int __cdecl CodePageFromVariable(void)
{
    return *g_crtCodePage;
}

static unsigned int __cdecl CodePageFromLocaleName(void)
{
    const char* name = setlocale(LC_CTYPE, NULL);
    const char* dot = name ? strchr(name, '.') : NULL;
    return dot ? (unsigned int)atoi(dot + 1) : 0;
}

unsigned int __cdecl CrtCodePage(void)
{
    // Looked up once; threads racing here store the same answer.
    if (!g_codePageQuery) {
        HMODULE crt = GetModuleHandleA("msvcrt.dll");
        CodePageQuery query = crt ? (CodePageQuery)(void (*)(void))GetProcAddress(crt, "___lc_codepage_func") : NULL;
        if (!query && crt) {
            g_crtCodePage = (const unsigned int*)(void*)GetProcAddress(crt, "__lc_codepage");
            if (g_crtCodePage)
                query = CodePageFromVariable;
        }
        g_codePageQuery = query ? query : CodePageFromLocaleName;
    }
    return g_codePageQuery();
}

#if defined(__i386__)
// The import pointers the toolchain's libraries call through: libgcc's
// thread support creates its semaphores with CreateSemaphoreW, and
// libstdc++'s random_device would pull mingw's rand_s shim, which imports
// GetModuleHandleW and LoadLibraryW; mingw's printf needs
// ___lc_codepage_func, whose shim imports GetModuleHandleW. (The installer
// links neither of the last two now; these keep it loading on the oldest
// systems if either comes back.)
// Defined in an object of the program itself, these win over the libraries,
// so none of the three wide functions reaches the import table.
HANDLE(WINAPI* const imp_CreateSemaphoreW)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR) __asm__(
    "__imp__CreateSemaphoreW@16") = AnsiCreateSemaphoreW;
int(__cdecl* const imp_rand_s)(unsigned int*) __asm__("__imp__rand_s") = SystemRandS;
// <locale.h> declares this one as imported; the label gives the definition.
unsigned int __cdecl LcCodePageFunc(void) __asm__("____lc_codepage_func");
unsigned int __cdecl LcCodePageFunc(void)
{
    return CrtCodePage();
}
#endif

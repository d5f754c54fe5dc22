#include "framework/Text.h"
#include <cctype>
#include <cstdarg>
#include <cstdio>

// The C library's own _vsnprintf: in C++ the toolchain's headers put mingw's
// printf in place of vsnprintf, and its floating-point formatting alone adds
// tens of kilobytes to the stub. _vsnprintf does not say how long a result
// that did not fit would be, so the buffer grows until one does.
std::string Format(const char* fmt, ...)
{
    const size_t kLimit = 1 << 20;    // beyond any text the installer builds
    std::string out(256, '\0');
    for (;;) {
        va_list args;
        va_start(args, fmt);
        int n = _vsnprintf(&out[0], out.size(), fmt, args);
        va_end(args);
        if (n >= 0 && (size_t)n < out.size()) {
            out.resize(n);
            return out;
        }
        if (out.size() >= kLimit)
            return std::string();
        out.resize(out.size() * 2);
    }
}

std::string LoadResString(UINT id)
{
    char buf[1024];
    int n = LoadStringA(GetModuleHandleA(nullptr), id, buf, sizeof buf);
    return std::string(buf, n > 0 ? n : 0);
}

const BYTE* LoadResourceBytes(UINT id, const char* type, DWORD* size)
{
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC res = FindResourceA(self, MAKEINTRESOURCEA(id), type);
    *size = res ? SizeofResource(self, res) : 0;
    HGLOBAL loaded = res ? LoadResource(self, res) : nullptr;
    return loaded ? (const BYTE*)LockResource(loaded) : nullptr;
}

std::string ToLower(std::string text)
{
    for (char& c : text)
        c = (char)tolower((unsigned char)c);
    return text;
}

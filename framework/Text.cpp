#include "framework/Text.h"
#include <cctype>
#include <cstdarg>
#include <cstdio>

std::string Format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(n + 1);
        vsnprintf(&out[0], out.size(), fmt, args);
        out.resize(n);
    }
    va_end(args);
    return out;
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

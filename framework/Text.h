// Small string helpers: printf-style formatting and string-table access.
#pragma once
#include <windows.h>
#include <string>

// The C library's directives (%I64d, not %lld; no %z).
std::string Format(const char* fmt, ...) __attribute__((format(ms_printf, 1, 2)));
std::string LoadResString(UINT id);
// The bytes of resource id of the given type in the running module (null when
// it is missing or cannot be loaded); size receives its length.
const BYTE* LoadResourceBytes(UINT id, const char* type, DWORD* size);
std::string ToLower(std::string text);

// A quote ends a quoted path on a command line, and a line break ends a
// task line: a path with either is never written into one.
inline bool HasQuoteOrLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n\"") != std::string::npos;
}

// Small string helpers: printf-style formatting and string-table access.
#pragma once
#include <windows.h>
#include <string>

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string LoadResString(UINT id);
std::string ToLower(std::string text);

// Machine facts: prerequisites, OS family, the running main application,
// free space and file versions.
#pragma once
#include <windows.h>
#include <string>

bool PathExists(const std::string& path);
bool IsMainAppRunning();
UINT FreeMegabytes(const std::string& path);

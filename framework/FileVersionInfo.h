// The fixed record of a file's version resource, read through the version
// library (version.dll), which is loaded by full path from the system folder
// on first use, never imported.
#pragma once
#include <windows.h>
#include <string>

// False when the file is missing, has no (or a short) fixed record, or the
// system has no version library or lacks one of its three functions: the
// callers count all of these as a version that cannot be read.
bool ReadFixedFileInfo(const std::string& path, VS_FIXEDFILEINFO& info);

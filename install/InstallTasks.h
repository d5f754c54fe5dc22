// Component installation: the choice of components, the install task file
// read by the install helper, and the launch worker that starts the helper
// and follows it through its marker files.
#pragma once
#include <windows.h>
#include <atomic>
#include <string>

// The launch worker's thread procedure; its parameter is the main frame.
UINT LaunchThread(void* frame);

enum MarkerResult { MarkerTimedOut = 0, MarkerDone = 1, MarkerFailed = 2 };

// Sleeps interval seconds, then looks for done (then fail, when given), count
// times at most; a set cancel flag ends the wait early with MarkerTimedOut.
int WaitForMarker(const std::atomic<bool>& cancel, const std::string& done, const char* fail, int interval,
                  int count);

// One task line of the install task file, without its terminator.
std::string FormatTaskLine(const std::string& program, const char* arguments, const std::string& startMarker,
                           const std::string& successMarker, const std::string& failureMarker, int seconds);

// Tests shorten the marker waits; the product sleeps for real.
extern void (*g_pfnMarkerSleep)(DWORD milliseconds);
// Tests take the short form away, as a volume without 8.3 names does.
extern DWORD(WINAPI* g_pfnGetShortPathName)(LPCSTR longPath, LPSTR shortPath, DWORD size);

// Whether the install server can be reached at all, before anything is
// downloaded.
#pragma once
#include <windows.h>

class CInternetSession;

// Up to five tries at the address, 1, 2, 4 and 8 s apart, since a start at
// logon often comes before the network is up. True at the first answer
// with a status line, whatever the status; false after the fifth failure,
// or at once when cancel (an event) is set.
bool ProbeConnectivity(CInternetSession* session, const char* url, HANDLE cancel);

// The wait between tries; tests replace it to take no time.
extern DWORD (*g_pfnProbeWait)(HANDLE cancel, DWORD ms);

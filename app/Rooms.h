// The workers' thread procedures, each handed the frame, whose parts (and
// the application's) it hands to its room; and the download worker's start.
#pragma once
#include <windows.h>

class CMainFrame;

struct ReleaseKey;

// The release keys this build trusts, as the release checks take them.
const ReleaseKey* BuiltInReleaseKeys(size_t& count);

// Always return 0; the worker handle is cleared last.
UINT LaunchThread(void* frame);
UINT DownloadThreadProc(void* frame);
// Suspended, without automatic deletion, kept in m_pDownloadThread with its
// handle in m_hWorker, then resumed. False when it cannot be created.
bool StartDownloadThread(CMainFrame* frame);

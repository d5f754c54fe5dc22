#include "report/ConnectivityProbe.h"
#include "framework/Internet.h"

static const DWORD kWaitsMs[] = {1000, 2000, 4000, 8000};

DWORD (*g_pfnProbeWait)(HANDLE, DWORD) = [](HANDLE cancel, DWORD ms) { return WaitForSingleObject(cancel, ms); };

static bool Reached(CInternetSession* session, const char* url)
{
    CInternetFile* response = nullptr;
    bool reached = false;
    try {
        // Reloaded from the server: a cached page must not pass for a
        // network that works.
        response = session->OpenURL(url, 1,
                                    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_TRANSFER_BINARY);
        // A connection closed or reset before any byte of answer comes
        // back from WinINet under Wine as an empty answer without a status
        // line (Windows fails the request); either way nothing was reached.
        if (static_cast<CHttpFile*>(response)->QueryStatusCode() != 0) {
            char scratch[16];
            response->Read(scratch, sizeof scratch);
            reached = true;
        }
    } catch (...) {
        // Any failure is one failed try.
    }
    delete response;
    return reached;
}

bool ProbeConnectivity(CInternetSession* session, const char* url, HANDLE cancel)
{
    if (!session)
        return false;
    for (int attempt = 0; attempt < 5; attempt++) {
        if (attempt > 0 && g_pfnProbeWait(cancel, kWaitsMs[attempt - 1]) != WAIT_TIMEOUT)
            return false;
        if (Reached(session, url))
            return true;
    }
    return false;
}

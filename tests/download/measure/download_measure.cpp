// Measurement aid for tools/measure_downloads.py: downloads one file the way
// the download thread does (size query, then the item's transfer), optionally
// cancelling once the local file holds a given number of bytes.
//   download_measure.exe URL LOCALPATH [STOPAT]
// Prints one line: result=<DownloadError> seconds=<s> local=<bytes> server=<bytes>
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include "download/DownloadList.h"
#include "framework/Internet.h"

struct Run {
    DownloadList* list;
    DownloadError result;
};

static DWORD WINAPI Download(void* param)
{
    Run* run = (Run*)param;
    run->result = run->list->DownloadMissing();
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: download_measure URL LOCALPATH [STOPAT]\n");
        return 2;
    }
    UINT stopAt = argc > 3 ? (UINT)strtoul(argv[3], nullptr, 10) : 0;
    CInternetSession session("Zembrio download measurement");
    session.SetOption(INTERNET_OPTION_CONNECT_TIMEOUT, 30000);
    session.SetOption(INTERNET_OPTION_RECEIVE_TIMEOUT, 30000);
    session.SetOption(INTERNET_OPTION_SEND_TIMEOUT, 30000);
    DownloadList list(&session);
    list.AddItem(argv[1], argv[2], 0, 0);

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    Run run = {&list, list.QueryAllSizes(false)};
    if (run.result == NoError) {
        HANDLE thread = CreateThread(nullptr, 0, Download, &run, 0, nullptr);
        while (WaitForSingleObject(thread, 5) == WAIT_TIMEOUT)
            if (stopAt && list.Item(0).m_nLocalSize >= stopAt)
                list.CancelActiveTransfer();
        CloseHandle(thread);
    }
    QueryPerformanceCounter(&end);
    printf("result=%s seconds=%.3f local=%u server=%u\n", DownloadErrorName(run.result),
           (double)(end.QuadPart - start.QuadPart) / frequency.QuadPart, list.Item(0).m_nLocalSize.load(),
           list.Item(0).m_nServerSize.load());
    return run.result == NoError || run.result == DownloadCancelled ? 0 : 1;
}

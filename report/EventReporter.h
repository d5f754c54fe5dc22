// Event and error reports to the logging endpoint: each one a run-log line
// at once and a GET that one sender thread makes later, in order. The
// logger is not needed to install anything, so no report waits for it.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "framework/Lock.h"
#include "report/Endpoints.h"
#include "report/RunLog.h"

class CInternetSession;
class CWinThread;

enum ErrorCategory {
    CategorySimulated = 0,
    CategoryGeneral = 1,
    CategoryNetwork = 2,
    CategoryFileIO = 3,
    CategoryPermissions = 4,
    CategoryUnsupportedOS = 5,
    CategoryDiskSpace = 6,
};
const char* ErrorCategoryText(int category);

class CEventReporter {
public:
    // What the reports read: the run log they are written to, the addresses,
    // and the user id as it is when each report is made.
    CEventReporter(CRunLog& log, const CEndpointSet& endpoints, const std::string& userId);
    // Ends the sender, waiting for the request it is making.
    ~CEventReporter();
    CEventReporter(const CEventReporter&) = delete;
    CEventReporter& operator=(const CEventReporter&) = delete;

    // Starts the sender on the session every report goes out through; false
    // when it cannot be started (reports are then only logged).
    bool Start(CInternetSession* session);
    // The run-log line (line name, "category,name") first, then the report
    // is queued: the call never waits for the network.
    void Report(const char* lineName, const char* categoryText, const char* name);
    // Waits until everything queued so far has been sent, at most ms; true
    // when it has.
    bool WaitUntilSent(DWORD ms) const;
    // At exit: what is queued gets up to ms to go out; every report left is
    // named in the run log ("Report unanswered" for the one on its way,
    // "Report dropped" for those never sent). Nothing is sent afterwards.
    void Stop(DWORD ms);
    // Waits for the sender's end, which comes once it is stopped, after the
    // request it is making.
    void Join();

    // The run log the reports are written to.
    CRunLog& Log() const { return m_log; }
    std::string BuildReportUrl(const char* categoryText, const char* name) const;
    std::string ErrorPageUrl(const char* categoryText) const;
    static std::string EscapeUrlText(const std::string& text);

private:
    struct Pending {
        std::string url;
        std::string event;   // as the run log names it: "category,name"
    };
    static UINT SenderProc(void* self);
    void SendQueued();
    void Send(const std::string& url);

    CRunLog& m_log;
    const CEndpointSet& m_endpoints;
    const std::string& m_strUserId;
    CInternetSession* m_pSession = nullptr;
    CWinThread* m_pSender = nullptr;
    HANDLE m_hWake = nullptr;   // auto-reset: something to send, or stop
    HANDLE m_hIdle = nullptr;   // manual-reset: nothing queued or on its way

    CCriticalSection m_lock;    // guards what follows
    std::vector<Pending> m_queue;
    std::string m_strSending;   // the event on its way, empty when none
    bool m_bStopped = false;
};

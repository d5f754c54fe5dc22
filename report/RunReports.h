// What a room reports through, handed to it in place of the application or
// the window: run-log lines, events and errors. An error also goes to the
// failure sink, the window, which marks the run failed and shows the error
// page for it (its cause, its words, the help address of its category).
#pragma once
#include <string>
#include "report/EventReporter.h"

class CFailureSink {
public:
    virtual void MarkFailed() = 0;
    virtual void ShowErrorPage(int category, const char* name, const std::string& helpUrl) = 0;

protected:
    ~CFailureSink() = default;
};

class CRunReports {
public:
    CRunReports(CRunLog& log, CEventReporter& reporter, CFailureSink& sink)
        : m_log(log), m_reporter(reporter), m_sink(sink)
    {
    }
    bool WriteRunLog(const char* name, const std::string& value) { return m_log.Write(name, value.c_str()); }
    CRunLog& RunLog() const { return m_log; }
    void ReportEvent(int category, const char* name);
    // Marks the run failed first, so that whoever sees the report or the
    // error page also sees the failure.
    void ReportError(int category, const char* name, bool showErrorPage = true, bool markFailed = true);

private:
    CRunLog& m_log;
    CEventReporter& m_reporter;
    CFailureSink& m_sink;
};

#include "report/RunReports.h"

void CRunReports::ReportEvent(int category, const char* name)
{
    m_reporter.Report("Event", ErrorCategoryText(category), name);
}

void CRunReports::ReportError(int category, const char* name, bool showErrorPage, bool markFailed)
{
    if (markFailed)
        m_sink.MarkFailed();
    const char* categoryText = ErrorCategoryText(category);
    m_reporter.Report("Error", categoryText, name);
    if (showErrorPage)
        m_sink.ShowErrorPage(category, name, m_reporter.ErrorPageUrl(categoryText));
}

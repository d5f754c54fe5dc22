// Event and error reports: the report address, the error-page link, and the
// one sender thread that makes the requests in the order they were made.
#include "report/EventReporter.h"
#include <cstring>
#include "framework/Internet.h"
#include "framework/Text.h"
#include "framework/Thread.h"

static const char* const kCategoryText[] = {"simulated", "general",     "network",  "fileio",
                                            "permissions", "unsupportedos", "diskspace"};

const char* ErrorCategoryText(int category)
{
    if (category < CategorySimulated || category > CategoryDiskSpace)
        return "general";
    return kCategoryText[category];
}

// Bytes that stay as they are: 33..122 except these.
static const char kReserved[] = "\"<>%\\^[]`+$,@:;/!#?=&";

std::string CEventReporter::EscapeUrlText(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char b : text) {
        if (b >= 33 && b <= 122 && !strchr(kReserved, b)) {
            out += (char)b;
        } else {
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

CEventReporter::CEventReporter(CRunLog& log, const CEndpointSet& endpoints, const std::string& userId)
    : m_log(log), m_endpoints(endpoints), m_strUserId(userId)
{
    m_hWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_hIdle = CreateEventA(nullptr, TRUE, TRUE, nullptr);
}

CEventReporter::~CEventReporter()
{
    {
        CSingleLock hold(m_lock);
        m_bStopped = true;
        m_queue.clear();
    }
    Join();
    CloseHandle(m_hWake);
    CloseHandle(m_hIdle);
}

std::string CEventReporter::BuildReportUrl(const char* categoryText, const char* name) const
{
    std::string event = EscapeUrlText(categoryText ? categoryText : "general") + EscapeUrlText(name ? name : "");
    // The id is escaped too: one taken from a cookie may hold "&", "=" or
    // spaces, which would break the request or forge query fields. The
    // site's ids are hexadecimal digits, which escaping leaves unchanged.
    return Format("%s?event=%s&userUID=%s&source=%s", m_endpoints.Url(Logger), event.c_str(),
                  EscapeUrlText(m_strUserId).c_str(), "zembrioinstaller");
}

std::string CEventReporter::ErrorPageUrl(const char* categoryText) const
{
    return Format("%s#%s", m_endpoints.Url(FaqPage), categoryText ? categoryText : "general");
}

bool CEventReporter::Start(CInternetSession* session)
{
    if (m_pSender)
        return true;
    m_pSession = session;
    if (!session || !m_hWake || !m_hIdle)
        return false;
    m_pSender = AfxBeginThread(SenderProc, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!m_pSender)
        return false;
    m_pSender->m_bAutoDelete = FALSE;
    m_pSender->ResumeThread();
    return true;
}

void CEventReporter::Report(const char* lineName, const char* categoryText, const char* name)
{
    std::string event = Format("%s,%s", categoryText ? categoryText : "general", name ? name : "");
    m_log.Write(lineName, event.c_str());
    std::string url = BuildReportUrl(categoryText, name);
    {
        CSingleLock hold(m_lock);
        if (!m_pSender)
            return;   // no session, no sender: lost, as a failed request is
        if (!m_bStopped) {
            m_queue.push_back({url, event});
            ResetEvent(m_hIdle);
            SetEvent(m_hWake);
            return;
        }
    }
    m_log.Write("Report dropped", event.c_str());
}

bool CEventReporter::WaitUntilSent(DWORD ms) const
{
    return WaitForSingleObject(m_hIdle, ms) == WAIT_OBJECT_0;
}

void CEventReporter::Stop(DWORD ms)
{
    if (ms)
        WaitUntilSent(ms);
    std::string sending;
    std::vector<Pending> left;
    {
        CSingleLock hold(m_lock);
        if (m_bStopped)
            return;
        m_bStopped = true;
        sending = m_strSending;
        left.swap(m_queue);
    }
    SetEvent(m_hWake);
    if (!sending.empty())
        m_log.Write("Report unanswered", sending.c_str());
    for (const Pending& report : left)
        m_log.Write("Report dropped", report.event.c_str());
}

void CEventReporter::Join()
{
    if (!m_pSender)
        return;
    SetEvent(m_hWake);
    WaitForSingleObject(m_pSender->m_hThread, INFINITE);
    delete m_pSender;
    m_pSender = nullptr;
}

UINT CEventReporter::SenderProc(void* self)
{
    ((CEventReporter*)self)->SendQueued();
    return 0;
}

void CEventReporter::SendQueued()
{
    for (;;) {
        Pending next;
        {
            CSingleLock hold(m_lock);
            m_strSending.clear();
            if (m_bStopped)
                return;
            if (m_queue.empty()) {
                SetEvent(m_hIdle);
            } else {
                next = m_queue.front();
                m_queue.erase(m_queue.begin());
                m_strSending = next.event;
            }
        }
        if (next.url.empty())
            WaitForSingleObject(m_hWake, INFINITE);
        else
            Send(next.url);
    }
}

void CEventReporter::Send(const std::string& url)
{
    CInternetFile* response = nullptr;
    try {
        response = m_pSession->OpenURL(
            url.c_str(), 1, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_TRANSFER_BINARY);
        response->Close();
    } catch (...) {
        // A lost report is not worth bothering the visitor with.
    }
    delete response;
}

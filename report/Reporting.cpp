// Event and error reports to the logging endpoint, the error-page link and
// the connectivity probe.
#include <cstring>
#include "app/InstallerApp.h"
#include "app/MainFrame.h"
#include "framework/Text.h"

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

std::string CInstallerApp::EscapeUrlText(const std::string& text)
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

std::string CInstallerApp::BuildReportUrl(const char* categoryText, const char* name) const
{
    std::string event = EscapeUrlText(categoryText ? categoryText : "general") + EscapeUrlText(name ? name : "");
    // The id is escaped too: one taken from a cookie may hold "&", "=" or
    // spaces, which would break the request or forge query fields. The
    // site's ids are digits, which escaping leaves unchanged.
    return Format("%s?event=%s&userUID=%s&source=%s", EndpointUrl(Logger), event.c_str(),
                  EscapeUrlText(m_strUserId).c_str(), "zembrioinstaller");
}

void CInstallerApp::SendReportRequest(const std::string& url)
{
    if (!m_pSession)
        return;
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

void CInstallerApp::SendEventReport(const char* categoryText, const char* name)
{
    SendReportRequest(BuildReportUrl(categoryText, name));
}

std::string CInstallerApp::ErrorPageUrl(const char* categoryText) const
{
    return Format("%s#%s", EndpointUrl(FaqPage), categoryText ? categoryText : "general");
}

bool CInstallerApp::ProbeConnectivity()
{
    for (int attempt = 0; attempt < 5 && m_pSession; attempt++) {
        CInternetFile* response = nullptr;
        bool reached = false;
        try {
            // Reloaded from the server: a cached page must not pass for a
            // network that works.
            response = m_pSession->OpenURL(EndpointUrl(SiteRoot), 1,
                                           INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                               INTERNET_FLAG_TRANSFER_BINARY);
            // A connection closed or reset before any byte of answer comes
            // back from WinINet under Wine as an empty answer without a status
            // line (Windows fails the request); either way nothing was reached.
            if (static_cast<CHttpFile*>(response)->QueryStatusCode() != 0) {
                char scratch[16];
                response->Read(scratch, sizeof scratch);
                reached = true;
            }
        } catch (...) {
            // Any failure is one failed attempt; the next starts at once.
        }
        delete response;
        if (reached)
            return true;
    }
    if (CMainFrame* frame = MainFrame())
        frame->ReportError(CategoryNetwork, "nonetworkavailable", true, true);
    return false;
}

void CMainFrame::ReportError(int category, const char* name, bool showErrorPage, bool markFailed)
{
    CInstallerApp* app = GetInstallerApp();
    if (markFailed)
        m_bFailed = true;
    const char* categoryText = ErrorCategoryText(category);
    app->WriteRunLog("Error", Format("%s,%s", categoryText, name ? name : ""));
    app->SendEventReport(categoryText, name);
    if (showErrorPage) {
        SetErrorLink(app->ErrorPageUrl(categoryText));
        PostMessage(WM_APP, 0, 0);
    }
}

void CMainFrame::ReportEvent(int category, const char* name)
{
    CInstallerApp* app = GetInstallerApp();
    const char* categoryText = ErrorCategoryText(category);
    app->WriteRunLog("Event", Format("%s,%s", categoryText, name ? name : ""));
    app->SendEventReport(categoryText, name);
}

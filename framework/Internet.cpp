#include "framework/Internet.h"
#include <vector>
#include "framework/SystemLibrary.h"

namespace {

// WinINet is not among the libraries Windows always takes from the system
// folder, so it is never imported: loaded by full path on first use, once.
// Where it is missing (or lacks a function) every call fails with
// ERROR_MOD_NOT_FOUND (ERROR_PROC_NOT_FOUND), as a failed WinINet call does:
// the probe finds no network, reports are lost, no cookie is found.
struct WinInetFunctions {
    DWORD missing = ERROR_MOD_NOT_FOUND;
    decltype(&::HttpAddRequestHeadersA) HttpAddRequestHeadersA;
    decltype(&::HttpOpenRequestA) HttpOpenRequestA;
    decltype(&::HttpQueryInfoA) HttpQueryInfoA;
    decltype(&::HttpSendRequestA) HttpSendRequestA;
    decltype(&::InternetCloseHandle) InternetCloseHandle;
    decltype(&::InternetConnectA) InternetConnectA;
    decltype(&::InternetCrackUrlA) InternetCrackUrlA;
    decltype(&::InternetGetCookieA) InternetGetCookieA;
    decltype(&::InternetOpenA) InternetOpenA;
    decltype(&::InternetOpenUrlA) InternetOpenUrlA;
    decltype(&::InternetQueryOptionA) InternetQueryOptionA;
    decltype(&::InternetReadFile) InternetReadFile;
    decltype(&::InternetSetOptionA) InternetSetOptionA;
};

const WinInetFunctions& WinInet()
{
    static const WinInetFunctions functions = [] {
        WinInetFunctions f;
        HMODULE lib = LoadSystemLibrary("wininet.dll");
        if (lib)
            f.missing = ERROR_PROC_NOT_FOUND;
        ResolveFunction(lib, "HttpAddRequestHeadersA", f.HttpAddRequestHeadersA);
        ResolveFunction(lib, "HttpOpenRequestA", f.HttpOpenRequestA);
        ResolveFunction(lib, "HttpQueryInfoA", f.HttpQueryInfoA);
        ResolveFunction(lib, "HttpSendRequestA", f.HttpSendRequestA);
        ResolveFunction(lib, "InternetCloseHandle", f.InternetCloseHandle);
        ResolveFunction(lib, "InternetConnectA", f.InternetConnectA);
        ResolveFunction(lib, "InternetCrackUrlA", f.InternetCrackUrlA);
        ResolveFunction(lib, "InternetGetCookieA", f.InternetGetCookieA);
        ResolveFunction(lib, "InternetOpenA", f.InternetOpenA);
        ResolveFunction(lib, "InternetOpenUrlA", f.InternetOpenUrlA);
        ResolveFunction(lib, "InternetQueryOptionA", f.InternetQueryOptionA);
        ResolveFunction(lib, "InternetReadFile", f.InternetReadFile);
        ResolveFunction(lib, "InternetSetOptionA", f.InternetSetOptionA);
        return f;
    }();
    return functions;
}

// function(args...), or the failure of an absent function: a null handle or
// FALSE, with the reason as the last error.
template <class F, class... A>
auto Call(F function, A... args) -> decltype(function(args...))
{
    if (!function) {
        SetLastError(WinInet().missing);
        return {};
    }
    return function(args...);
}

} // namespace

UINT CInternetFile::Read(void* buffer, UINT count)
{
    DWORD read = 0;
    if (!Usable())
        throw CInternetException(ERROR_INTERNET_OPERATION_CANCELLED);
    if (!Call(WinInet().InternetReadFile, m_hFile, buffer, count, &read))
        throw CInternetException(GetLastError());
    return read;
}

void CInternetFile::Close()
{
    if (m_hFile && Usable())
        Call(WinInet().InternetCloseHandle, m_hFile);
    m_hFile = nullptr;
}

void CInternetFile::Abort()
{
    if (m_hFile && !m_bAborted.exchange(true))
        Call(WinInet().InternetCloseHandle, m_hFile);
}

BOOL CHttpFile::AddRequestHeaders(const char* headers, DWORD flags)
{
    return Usable() && Call(WinInet().HttpAddRequestHeadersA, m_hFile, headers, (DWORD)-1, flags);
}

void CHttpFile::SendRequest(const char* headers, const void* body, DWORD bodyLength)
{
    if (!Usable())
        throw CInternetException(ERROR_INTERNET_OPERATION_CANCELLED);
    if (!Call(WinInet().HttpSendRequestA, m_hFile, headers, headers ? (DWORD)-1 : 0, (void*)body, bodyLength))
        throw CInternetException(GetLastError());
}

BOOL CHttpFile::QueryInfo(DWORD infoLevel, std::string& value)
{
    value.clear();
    if (!Usable())
        return FALSE;
    DWORD size = 0;
    Call(WinInet().HttpQueryInfoA, m_hFile, infoLevel, nullptr, &size, nullptr);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return FALSE;
    std::vector<char> buf(size + 1);
    if (!Call(WinInet().HttpQueryInfoA, m_hFile, infoLevel, buf.data(), &size, nullptr))
        return FALSE;
    value.assign(buf.data(), size);
    return TRUE;
}

DWORD CHttpFile::QueryStatusCode()
{
    DWORD code = 0, size = sizeof code;
    if (!Usable() || !Call(WinInet().HttpQueryInfoA, m_hFile, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code,
                           &size, nullptr))
        return 0;
    return code;
}

CHttpFile* CHttpConnection::OpenRequest(const char* verb, const char* object, const char* referer,
                                        DWORD_PTR context, const char** acceptTypes, const char* version,
                                        DWORD flags)
{
    HINTERNET request =
        Call(WinInet().HttpOpenRequestA, m_hConnection, verb, object, version, referer, acceptTypes, flags, context);
    if (!request)
        throw CInternetException(GetLastError());
    return new CHttpFile(request);
}

void CHttpConnection::Close()
{
    if (m_hConnection)
        Call(WinInet().InternetCloseHandle, m_hConnection);
    m_hConnection = nullptr;
}

CInternetSession::CInternetSession(const char* agent, DWORD_PTR context, DWORD accessType, const char* proxy,
                                   const char* proxyBypass, DWORD flags)
    : m_dwContext(context)
{
    m_hSession = Call(WinInet().InternetOpenA, agent, accessType, proxy, proxyBypass, flags);
}

BOOL CInternetSession::SetOption(DWORD option, DWORD value)
{
    return Call(WinInet().InternetSetOptionA, m_hSession, option, &value, sizeof value);
}

DWORD CInternetSession::GetOption(DWORD option)
{
    DWORD value = 0, size = sizeof value;
    Call(WinInet().InternetQueryOptionA, m_hSession, option, &value, &size);
    return value;
}

CInternetFile* CInternetSession::OpenURL(const char* url, DWORD_PTR context, DWORD flags, const char* headers,
                                         DWORD headersLength)
{
    HINTERNET file =
        Call(WinInet().InternetOpenUrlA, m_hSession, url, headers, headers ? headersLength : 0, flags, context);
    if (!file)
        throw CInternetException(GetLastError());
    return new CHttpFile(file);
}

CHttpConnection* CInternetSession::GetHttpConnection(const char* server, INTERNET_PORT port, const char* user,
                                                     const char* password)
{
    HINTERNET connection =
        Call(WinInet().InternetConnectA, m_hSession, server, port, user, password, INTERNET_SERVICE_HTTP, 0,
             m_dwContext);
    if (!connection)
        throw CInternetException(GetLastError());
    return new CHttpConnection(connection);
}

void CInternetSession::Close()
{
    if (m_hSession)
        Call(WinInet().InternetCloseHandle, m_hSession);
    m_hSession = nullptr;
}

BOOL AfxParseURL(const char* url, DWORD& serviceType, std::string& server, std::string& object, INTERNET_PORT& port)
{
    serviceType = 0;
    server.clear();
    object.clear();
    port = 0;
    if (!url)
        return FALSE;
    char host[INTERNET_MAX_HOST_NAME_LENGTH] = "";
    char path[INTERNET_MAX_URL_LENGTH] = "";
    char extra[INTERNET_MAX_URL_LENGTH] = "";
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = sizeof extra;
    if (!Call(WinInet().InternetCrackUrlA, url, 0, 0, &parts) || !*host)
        return FALSE;
    switch (parts.nScheme) {
    case INTERNET_SCHEME_HTTP: serviceType = AFX_INET_SERVICE_HTTP; break;
    case INTERNET_SCHEME_HTTPS: serviceType = AFX_INET_SERVICE_HTTPS; break;
    default: serviceType = 0; break;
    }
    server = host;
    object = std::string(path) + extra;
    if (object.empty())
        object = "/";
    port = parts.nPort;
    return TRUE;
}

BOOL GetInternetCookie(const char* url, const char* name, char* data, DWORD* size)
{
    return Call(WinInet().InternetGetCookieA, url, name, data, size);
}

#include "framework/Internet.h"
#include <vector>

UINT CInternetFile::Read(void* buffer, UINT count)
{
    DWORD read = 0;
    if (!Usable())
        throw CInternetException(ERROR_INTERNET_OPERATION_CANCELLED);
    if (!InternetReadFile(m_hFile, buffer, count, &read))
        throw CInternetException(GetLastError());
    return read;
}

void CInternetFile::Close()
{
    if (m_hFile && Usable())
        InternetCloseHandle(m_hFile);
    m_hFile = nullptr;
}

void CInternetFile::Abort()
{
    if (m_hFile && !m_bAborted.exchange(true))
        InternetCloseHandle(m_hFile);
}

BOOL CHttpFile::AddRequestHeaders(const char* headers, DWORD flags)
{
    return Usable() && HttpAddRequestHeadersA(m_hFile, headers, (DWORD)-1, flags);
}

void CHttpFile::SendRequest(const char* headers, const void* body, DWORD bodyLength)
{
    if (!Usable())
        throw CInternetException(ERROR_INTERNET_OPERATION_CANCELLED);
    if (!HttpSendRequestA(m_hFile, headers, headers ? (DWORD)-1 : 0, (void*)body, bodyLength))
        throw CInternetException(GetLastError());
}

BOOL CHttpFile::QueryInfo(DWORD infoLevel, std::string& value)
{
    value.clear();
    if (!Usable())
        return FALSE;
    DWORD size = 0;
    HttpQueryInfoA(m_hFile, infoLevel, nullptr, &size, nullptr);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return FALSE;
    std::vector<char> buf(size + 1);
    if (!HttpQueryInfoA(m_hFile, infoLevel, buf.data(), &size, nullptr))
        return FALSE;
    value.assign(buf.data(), size);
    return TRUE;
}

DWORD CHttpFile::QueryStatusCode()
{
    DWORD code = 0, size = sizeof code;
    if (!Usable() || !HttpQueryInfoA(m_hFile, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr))
        return 0;
    return code;
}

CHttpFile* CHttpConnection::OpenRequest(const char* verb, const char* object, const char* referer,
                                        DWORD_PTR context, const char** acceptTypes, const char* version,
                                        DWORD flags)
{
    HINTERNET request = HttpOpenRequestA(m_hConnection, verb, object, version, referer, acceptTypes, flags, context);
    if (!request)
        throw CInternetException(GetLastError());
    return new CHttpFile(request);
}

void CHttpConnection::Close()
{
    if (m_hConnection)
        InternetCloseHandle(m_hConnection);
    m_hConnection = nullptr;
}

CInternetSession::CInternetSession(const char* agent, DWORD_PTR context, DWORD accessType, const char* proxy,
                                   const char* proxyBypass, DWORD flags)
    : m_dwContext(context)
{
    m_hSession = InternetOpenA(agent, accessType, proxy, proxyBypass, flags);
}

BOOL CInternetSession::SetOption(DWORD option, DWORD value)
{
    return InternetSetOptionA(m_hSession, option, &value, sizeof value);
}

DWORD CInternetSession::GetOption(DWORD option)
{
    DWORD value = 0, size = sizeof value;
    InternetQueryOptionA(m_hSession, option, &value, &size);
    return value;
}

CInternetFile* CInternetSession::OpenURL(const char* url, DWORD_PTR context, DWORD flags, const char* headers,
                                         DWORD headersLength)
{
    HINTERNET file = InternetOpenUrlA(m_hSession, url, headers, headers ? headersLength : 0, flags, context);
    if (!file)
        throw CInternetException(GetLastError());
    return new CHttpFile(file);
}

CHttpConnection* CInternetSession::GetHttpConnection(const char* server, INTERNET_PORT port, const char* user,
                                                     const char* password)
{
    HINTERNET connection =
        InternetConnectA(m_hSession, server, port, user, password, INTERNET_SERVICE_HTTP, 0, m_dwContext);
    if (!connection)
        throw CInternetException(GetLastError());
    return new CHttpConnection(connection);
}

void CInternetSession::Close()
{
    if (m_hSession)
        InternetCloseHandle(m_hSession);
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
    if (!InternetCrackUrlA(url, 0, 0, &parts) || !*host)
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

// HTTP over WinINet in the framework's shape: a session, connections and
// request files. Failures of connecting, sending and reading throw
// CInternetException, as the transfer code expects. WinINet is loaded from
// the system folder on first use; without it every operation fails.
#pragma once
#include <windows.h>
#include <wininet.h>
#include <atomic>
#include <string>
#include "framework/File.h"

class CInternetException : public CException {
public:
    explicit CInternetException(DWORD error) : m_dwError(error) {}
    DWORD m_dwError;
};

class CInternetFile {
public:
    explicit CInternetFile(HINTERNET request) : m_hFile(request) {}
    virtual ~CInternetFile() { Close(); }
    CInternetFile(const CInternetFile&) = delete;
    CInternetFile& operator=(const CInternetFile&) = delete;

    // Bytes read, 0 at the end of the body; throws on failure.
    UINT Read(void* buffer, UINT count);
    virtual void Close();
    // Closes the handle from another thread, which ends a call blocked on
    // it. The owner's later calls fail without touching the handle, and its
    // Close does not close it again; the owner must not run Close at the
    // same time (the caller serializes the two).
    void Abort();

protected:
    // False once aborted: the handle is gone and must not reach WinINet.
    bool Usable() const { return !m_bAborted; }

    HINTERNET m_hFile;
    std::atomic<bool> m_bAborted{false};
};

class CHttpFile : public CInternetFile {
public:
    using CInternetFile::CInternetFile;
    BOOL AddRequestHeaders(const char* headers, DWORD flags = HTTP_ADDREQ_FLAG_ADD_IF_NEW);
    void SendRequest(const char* headers = nullptr, const void* body = nullptr, DWORD bodyLength = 0);
    // The header text for a HTTP_QUERY_* level; FALSE (and empty) when absent.
    BOOL QueryInfo(DWORD infoLevel, std::string& value);
    DWORD QueryStatusCode();
};

class CHttpConnection {
public:
    explicit CHttpConnection(HINTERNET connection) : m_hConnection(connection) {}
    ~CHttpConnection() { Close(); }
    CHttpConnection(const CHttpConnection&) = delete;
    CHttpConnection& operator=(const CHttpConnection&) = delete;

    CHttpFile* OpenRequest(const char* verb, const char* object, const char* referer = nullptr,
                           DWORD_PTR context = 1, const char** acceptTypes = nullptr,
                           const char* version = nullptr, DWORD flags = INTERNET_FLAG_EXISTING_CONNECT);
    void Close();

private:
    HINTERNET m_hConnection;
};

class CInternetSession {
public:
    CInternetSession(const char* agent = nullptr, DWORD_PTR context = 1,
                     DWORD accessType = INTERNET_OPEN_TYPE_PRECONFIG, const char* proxy = nullptr,
                     const char* proxyBypass = nullptr, DWORD flags = 0);
    virtual ~CInternetSession() { Close(); }
    CInternetSession(const CInternetSession&) = delete;
    CInternetSession& operator=(const CInternetSession&) = delete;

    BOOL SetOption(DWORD option, DWORD value);
    DWORD GetOption(DWORD option);
    // A response ready to read; throws when the address cannot be opened.
    CInternetFile* OpenURL(const char* url, DWORD_PTR context = 1, DWORD flags = INTERNET_FLAG_TRANSFER_ASCII,
                           const char* headers = nullptr, DWORD headersLength = 0);
    CHttpConnection* GetHttpConnection(const char* server, INTERNET_PORT port = INTERNET_INVALID_PORT_NUMBER,
                                       const char* user = nullptr, const char* password = nullptr);
    void Close();
    HINTERNET Handle() const { return m_hSession; }

private:
    HINTERNET m_hSession;
    DWORD_PTR m_dwContext;
};

enum { AFX_INET_SERVICE_HTTP = 3, AFX_INET_SERVICE_HTTPS = 4 };

// Splits an address into service, server, object (path and query) and port;
// FALSE when it is not an absolute URL.
BOOL AfxParseURL(const char* url, DWORD& serviceType, std::string& server, std::string& object,
                 INTERNET_PORT& port);

// Internet Explorer's cookies for url (name null: all of them) as
// InternetGetCookieA gives them; FALSE when there are none or WinINet is
// missing.
BOOL GetInternetCookie(const char* url, const char* name, char* data, DWORD* size);

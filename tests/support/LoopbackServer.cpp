#include "LoopbackServer.h"
#include <cstring>

static void StartSockets()
{
    static bool started = [] {
        WSADATA wsa;
        return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    }();
    (void)started;
}

static SOCKET BindLoopback(int* port)
{
    StartSockets();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(s, (sockaddr*)&addr, sizeof addr);
    int len = sizeof addr;
    getsockname(s, (sockaddr*)&addr, &len);
    *port = ntohs(addr.sin_port);
    return s;
}

int RefusingPort()
{
    // Bound but never listening: the port stays ours and refuses everyone.
    static int port = 0;
    static SOCKET held = BindLoopback(&port);
    (void)held;
    return port;
}

LoopbackServer::LoopbackServer(Mode mode, int status) : m_mode(mode), m_nStatus(status)
{
    m_listener = BindLoopback(&m_nPort);
    listen(m_listener, 16);
    m_hThread = CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr);
}

LoopbackServer::~LoopbackServer()
{
    m_bStop = true;
    WaitForSingleObject(m_hThread, 10000);
    CloseHandle(m_hThread);
    closesocket(m_listener);
}

std::vector<std::string> LoopbackServer::Targets() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_targets;
}

std::vector<std::string> LoopbackServer::Agents() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_agents;
}

DWORD WINAPI LoopbackServer::ThreadProc(void* param)
{
    LoopbackServer* self = (LoopbackServer*)param;
    while (!self->m_bStop) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(self->m_listener, &readable);
        timeval wait = {0, 50000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0)
            continue;
        SOCKET client = accept(self->m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            continue;
        self->m_nConnections++;
        self->Serve(client);
    }
    return 0;
}

// One request per connection; the answer closes it, so no request waits
// behind a kept-alive one.
void LoopbackServer::Serve(SOCKET client)
{
    DWORD timeout = 5000;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof timeout);
    std::string head;
    char buf[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        int n = recv(client, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        head.append(buf, n);
    }
    if (m_mode == Reset || m_mode == Close) {
        if (m_mode == Reset) {
            linger hard = {1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, (const char*)&hard, sizeof hard);
        }
        closesocket(client);
        return;
    }
    size_t sp1 = head.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : head.find(' ', sp1 + 1);
    std::string target = sp2 == std::string::npos ? "" : head.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string agent;
    size_t at = head.find("\r\nUser-Agent: ");
    if (at != std::string::npos) {
        at += 14;
        agent = head.substr(at, head.find("\r\n", at) - at);
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_targets.push_back(target);
        m_agents.push_back(agent);
    }
    if (m_mode == Silent) {
        // Ten seconds at most: a client that waits for an answer must not
        // hang the test.
        for (DWORD start = GetTickCount(); !m_bStop && GetTickCount() - start < 10000;) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(client, &readable);
            timeval wait = {0, 50000};
            if (select(0, &readable, nullptr, nullptr, &wait) > 0 && recv(client, buf, sizeof buf, 0) <= 0)
                break;
        }
        closesocket(client);
        return;
    }
    std::string answer = "HTTP/1.1 " + std::to_string(m_nStatus) +
                         " Test\r\nContent-Type: text/plain\r\nContent-Length: 20\r\nConnection: close\r\n\r\n"
                         "0123456789abcdefghij";
    send(client, answer.data(), (int)answer.size(), 0);
    shutdown(client, SD_SEND);
    timeout = 1000;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof timeout);
    while (recv(client, buf, sizeof buf, 0) > 0) {
    }
    closesocket(client);
}

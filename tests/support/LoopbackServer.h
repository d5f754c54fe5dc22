// A small HTTP server on 127.0.0.1 for unit tests that need a real peer:
// it answers every request with one status, or accepts each connection and
// resets it, or never answers, and records what arrived.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

class LoopbackServer {
public:
    // Answer: a small answer with the status; Reset: the request is read,
    // then the connection is reset; Close: read, then closed without a byte;
    // Silent: read and recorded, then held without a byte until the client
    // leaves, the server ends or 10 s pass.
    enum Mode { Answer, Reset, Close, Silent };
    explicit LoopbackServer(Mode mode = Answer, int status = 200);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return m_nPort; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_nPort); }
    int Connections() const { return m_nConnections; }
    // Request targets (path and query) and User-Agent headers, in arrival order.
    std::vector<std::string> Targets() const;
    std::vector<std::string> Agents() const;

private:
    static DWORD WINAPI ThreadProc(void* self);
    void Serve(SOCKET client);

    Mode m_mode;
    int m_nStatus;
    int m_nPort = 0;
    SOCKET m_listener = INVALID_SOCKET;
    HANDLE m_hThread = nullptr;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nConnections{0};
    mutable std::mutex m_lock;
    std::vector<std::string> m_targets;
    std::vector<std::string> m_agents;
};

// A loopback port on which nothing listens: connections are refused.
int RefusingPort();

// The endpoint server the launcher (run_with_server.py) starts beside the
// download tests: its address, the folder it serves, its fault switches and
// its request log.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
#include "framework/Internet.h"
#include "support/TestSupport.h"

struct LoggedRequest {
    std::string path;
    std::string range;   // empty when the request had no Range header
    std::string connection;   // the request's Connection header
    int status = 0;
    long long sent = 0;
};

std::string TestEnv(const char* name);
// Deterministic bytes that differ per position and seed.
std::string Pattern(size_t size, int seed);
std::string ReadBinaryFile(const std::string& path);
bool WriteBinaryFile(const std::string& path, const std::string& bytes);
// The lines of a JSON-lines log from a byte offset on.
std::vector<std::string> LogLines(const std::string& path, size_t from);
std::string JsonString(const std::string& line, const char* field);
long long JsonNumber(const std::string& line, const char* field);

// The server's side of a test: its address, its switches and its logs.
// Not a fixture itself, so that a fixture of its own kind (a room's) can
// hold it too.
class EndpointServer {
public:
    // Resets the switches and marks the logs: what came before is not the test's.
    void Open();
    void Close();

    // Places a file under /install/ and returns its address.
    std::string Serve(const std::string& name, const std::string& bytes);
    std::string Url(const std::string& name) const { return m_strServer + "/install/" + name; }
    void Control(const std::string& query);
    // The server makes release.txt for the files it holds at each request;
    // this keeps the one it makes now, so that files served after it are
    // not as released.
    std::string PinRelease();
    // Requests logged since Open for /install/<name>, waiting until at least
    // `atLeast` of them are there (the server logs a request when its answer is over).
    std::vector<LoggedRequest> Requests(const std::string& name, size_t atLeast = 0);
    std::vector<LoggedRequest> RangedRequests(const std::string& name, size_t atLeast = 0);

    std::string m_strServer;
    std::string m_strRoot;
    CInternetSession* m_pSession = nullptr;

private:
    size_t m_nRequestsMark = 0;
};

class ServerTest : public ::testing::Test, public EndpointServer {
protected:
    void SetUp() override { Open(); }
    void TearDown() override { Close(); }

    ScratchFolder m_scratch;
};

#include "ServerFixture.h"
#include <cstdio>
#include <cstdlib>

std::string TestEnv(const char* name)
{
    char value[1024];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n && n < sizeof value ? std::string(value, n) : std::string();
}

std::string Pattern(size_t size, int seed)
{
    std::string bytes(size, '\0');
    unsigned x = 2463534242u + (unsigned)seed * 7919u;
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = (char)(x >> 24);
    }
    return bytes;
}

std::string ReadBinaryFile(const std::string& path)
{
    std::string bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes.append(buf, n);
    fclose(f);
    return bytes;
}

bool WriteBinaryFile(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

std::vector<std::string> LogLines(const std::string& path, size_t from)
{
    std::string text = ReadBinaryFile(path);
    std::vector<std::string> lines;
    size_t pos = from;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            break;   // a line still being written
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

// Good enough for the server's flat records: finds "field": and reads the
// value after it (a string with JSON escapes, null, or a number).
static const char* FieldValue(const std::string& line, const char* field)
{
    std::string key = std::string("\"") + field + "\": ";
    size_t at = line.find(key);
    return at == std::string::npos ? nullptr : line.c_str() + at + key.size();
}

std::string JsonString(const std::string& line, const char* field)
{
    const char* p = FieldValue(line, field);
    std::string out;
    if (!p || *p != '"')
        return out;
    for (p++; *p && *p != '"'; p++) {
        if (*p == '\\' && p[1]) {
            p++;
            if (*p == 'u') {
                out += (char)strtol(std::string(p + 1, 4).c_str(), nullptr, 16);
                p += 4;
                continue;
            }
        }
        out += *p;
    }
    return out;
}

long long JsonNumber(const std::string& line, const char* field)
{
    const char* p = FieldValue(line, field);
    return p ? atoll(p) : -1;
}

static std::string Get(CInternetSession& session, const std::string& url)
{
    CInternetFile* response = session.OpenURL(url.c_str(), 1, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE);
    char buf[4096];
    std::string body;
    for (UINT got; (got = response->Read(buf, sizeof buf)) > 0;)
        body.append(buf, got);
    delete response;
    return body;
}

std::string EndpointServer::PinRelease()
{
    std::string text = Get(*m_pSession, Url("release.txt"));
    EXPECT_EQ(0u, text.find("zembrio-release 1\n")) << text;
    Serve("release.txt", text);
    return text;
}

void EndpointServer::Open()
{
    m_strServer = TestEnv("ZEMBRIO_TEST_SERVER");
    m_strRoot = TestEnv("ZEMBRIO_TEST_SERVER_ROOT");
    ASSERT_FALSE(m_strServer.empty()) << "run through tests/download/run_with_server.py";
    m_pSession = new CInternetSession("Zembrio download tests");
    // Every network step ends by itself.
    m_pSession->SetOption(INTERNET_OPTION_CONNECT_TIMEOUT, 10000);
    m_pSession->SetOption(INTERNET_OPTION_RECEIVE_TIMEOUT, 10000);
    m_pSession->SetOption(INTERNET_OPTION_SEND_TIMEOUT, 10000);
    Control("reset=1");
    DeleteFileA((m_strRoot + "\\release.txt").c_str());   // a pinned one of another test
    m_nRequestsMark = ReadBinaryFile(TestEnv("ZEMBRIO_TEST_REQUESTS")).size();
}

void EndpointServer::Close()
{
    if (m_pSession)
        Control("reset=1");
    DeleteFileA((m_strRoot + "\\release.txt").c_str());
    delete m_pSession;
    m_pSession = nullptr;
}

std::string EndpointServer::Serve(const std::string& name, const std::string& bytes)
{
    EXPECT_TRUE(WriteBinaryFile(m_strRoot + "\\" + name, bytes));
    return Url(name);
}

void EndpointServer::Control(const std::string& query)
{
    // Wine's WinINet can hand the first request after a run of reset
    // connections one the server has closed (12030): a second try gets a
    // new one.
    DWORD error = 0;
    for (int attempt = 0; attempt < 3; attempt++) {
        try {
            Get(*m_pSession, m_strServer + "/__control?" + query);
            return;
        } catch (const CInternetException& e) {
            error = e.m_dwError;
        } catch (const CException&) {
            error = 0;
        }
    }
    ADD_FAILURE() << "control request failed: " << query << " error " << error;
}

std::vector<LoggedRequest> EndpointServer::Requests(const std::string& name, size_t atLeast)
{
    std::vector<LoggedRequest> found;
    for (int attempt = 0; attempt < 50; attempt++) {
        found.clear();
        for (const std::string& line : LogLines(TestEnv("ZEMBRIO_TEST_REQUESTS"), m_nRequestsMark)) {
            LoggedRequest r;
            r.path = JsonString(line, "path");
            if (r.path != "/install/" + name)
                continue;
            r.range = JsonString(line, "range");
            r.connection = JsonString(line, "connection");
            r.status = (int)JsonNumber(line, "status");
            r.sent = JsonNumber(line, "sent");
            found.push_back(r);
        }
        if (found.size() >= atLeast)
            break;
        Sleep(100);
    }
    return found;
}

std::vector<LoggedRequest> EndpointServer::RangedRequests(const std::string& name, size_t atLeast)
{
    std::vector<LoggedRequest> ranged;
    for (int attempt = 0; attempt < 50; attempt++) {
        ranged.clear();
        for (const LoggedRequest& r : Requests(name))
            if (!r.range.empty())
                ranged.push_back(r);
        if (ranged.size() >= atLeast)
            break;
        Sleep(100);
    }
    return ranged;
}

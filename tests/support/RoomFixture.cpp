#include "RoomFixture.h"

void TestEndpoints::Use(const std::string& base, const std::string& siteRoot)
{
    m_astrEndpoint[0] = base + "/install";
    m_astrEndpoint[1] = siteRoot.empty() ? base : siteRoot;
    m_astrEndpoint[2] = base + "/Logger/Zembrio.aspx";
    m_astrEndpoint[3] = base + "/install/faq.htm";
    m_astrEndpoint[4] = base + "/freegoodies";
    for (int i = 0; i < 5; i++)
        m_apszEndpoint[i] = m_astrEndpoint[i].c_str();
    g_pTestEndpoints = m_apszEndpoint;
}

std::vector<std::string> RunLogLines(const std::string& path)
{
    std::string text = ReadTextFile(path);
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    if (start < text.size())
        lines.push_back(text.substr(start) + "<unterminated>");
    return lines;
}

LogEntries RunLogEntries(const std::string& path)
{
    LogEntries out;
    for (const std::string& line : RunLogLines(path)) {
        size_t eq = line.find('=');
        out.emplace_back(line.substr(0, eq), eq == std::string::npos ? "" : line.substr(eq + 1));
    }
    return out;
}

void RoomFixture::SetUp()
{
    session.SetOption(INTERNET_OPTION_CONNECT_TIMEOUT, 5000);
    session.SetOption(INTERNET_OPTION_RECEIVE_TIMEOUT, 5000);
    ASSERT_TRUE(runLog.Open(scratch.Path()));
    ASSERT_TRUE(reporter.Start(&session));
}

void RoomFixture::TearDown()
{
    reporter.Stop(0);
    reporter.Join();
    runLog.Close();
}

std::vector<std::string> RoomFixture::Sent() const
{
    EXPECT_TRUE(reporter.WaitUntilSent(10000));
    return logger.Targets();
}

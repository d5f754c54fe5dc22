#include "AppFixture.h"

void AppFixture::SetUp()
{
    app.SetRegistryKey("Zembrio");
    app.m_pSession = new CInternetSession("ZembrioTests", 1, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    app.m_pSession->SetOption(INTERNET_OPTION_CONNECT_TIMEOUT, 5000);
    app.m_pSession->SetOption(INTERNET_OPTION_RECEIVE_TIMEOUT, 5000);
    ASSERT_TRUE(app.m_reporter.Start(app.m_pSession));
    frame = new CMainFrame(app.m_reporter);
    RECT rc = {0, 0, 100, 100};
    ASSERT_TRUE(frame->CFrameWnd::Create(nullptr, "test frame", WS_POPUP, rc));
    app.m_pMainWnd = frame;
    app.m_strTempFolder = folder.Path();
    ASSERT_TRUE(app.OpenRunLog());
    UseEndpoints(logger.Url());
}

void AppFixture::TearDown()
{
    g_pTestEndpoints = nullptr;
    app.CloseRunLog();
    app.m_pMainWnd = nullptr;
    delete frame;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

void AppFixture::UseEndpoints(const std::string& base, const std::string& siteRoot)
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

std::vector<std::string> AppFixture::LogLines() const
{
    std::string text = ReadTextFile(folder.File("log.txt"));
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

std::vector<std::string> AppFixture::Sent() const
{
    EXPECT_TRUE(app.m_reporter.WaitUntilSent(10000));
    return logger.Targets();
}

bool AppFixture::ErrorPageRequested()
{
    MSG msg;
    return PeekMessageA(&msg, frame->m_hWnd, WM_APP, WM_APP, PM_REMOVE) != 0;
}

#include "AppFixture.h"

void AppFixture::SetUp()
{
    app.SetRegistryKey("Zembrio");
    app.m_pSession = new CInternetSession("ZembrioTests", 1, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    app.m_pSession->SetOption(INTERNET_OPTION_CONNECT_TIMEOUT, 5000);
    app.m_pSession->SetOption(INTERNET_OPTION_RECEIVE_TIMEOUT, 5000);
    ASSERT_TRUE(app.m_reporter.Start(app.m_pSession));
    NewFrame();
    app.m_strTempFolder = folder.Path();
    ASSERT_TRUE(app.OpenRunLog());
}

void AppFixture::NewFrame()
{
    delete frame;
    frame = new CMainFrame(app.m_reporter);
    RECT rc = {0, 0, 100, 100};
    ASSERT_TRUE(frame->CFrameWnd::Create(nullptr, "test frame", WS_POPUP, rc));
    app.m_pMainWnd = frame;
}

void AppFixture::TearDown()
{
    app.CloseRunLog();
    app.m_pMainWnd = nullptr;
    delete frame;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
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

#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include "app/InstallerApp.h"
#include "app/MainFrame.h"
#include "app/Resource.h"
#include "support/TestSupport.h"

// Centred on the work area (a task bar on top moves it); the odd surplus
// goes to the size, and a small work area keeps about the page size, the
// odd negative inset truncating toward zero.
TEST(PlaceWindow, CentresThePageOnTheWorkArea)
{
    const struct {
        RECT work, placed;
    } cases[] = {
        {{0, 0, 1024, 738}, {250, 200, 774, 538}}, {{0, 0, 1024, 739}, {250, 200, 774, 539}},
        {{0, 30, 1024, 768}, {250, 230, 774, 568}}, {{0, 0, 500, 300}, {-12, -19, 512, 319}},
        {{0, 0, 501, 300}, {-11, -19, 512, 319}},
    };
    for (const auto& c : cases) {
        RECT rc = PlaceWindow(c.work);
        EXPECT_TRUE(EqualRect(&c.placed, &rc)) << c.work.right << "x" << c.work.bottom << ": " << rc.left << ","
                                               << rc.top << "," << rc.right << "," << rc.bottom;
    }
}

// The percentage padded and rounded (large files do not overflow the
// multiply-divide), the megabytes and the time left in words.
TEST(ProgressText, PercentSizesAndTimeLeftInWords)
{
    const struct {
        UINT done, total;
        const char* text;
    } percents[] = {{0, 1000000, " 0%"}, {250000, 1000000, "25%"}, {70, 1000, " 7%"}, {1000000, 1000000, "100%"},
                    {4, 1000, " 0%"}, {5, 1000, " 1%"}, {1000000000u, 2000000000u, "50%"}, {0, 0, " 0%"}};
    for (const auto& c : percents)
        EXPECT_EQ(c.text, ProgressText(c.done, c.total)) << c.done << "/" << c.total;
    EXPECT_EQ("25% - Zembrio Installer", ProgressCaption(ProgressText(250000, 1000000), "Zembrio Installer"));
    const UINT MB = 1048576;
    const struct {
        UINT received, expected;
        int seconds;
        const char* text;
    } cases[] = {
        {12 * MB + MB / 3, 29 * MB + MB * 2 / 5, 61, "42% done - 12.3 of 29.4 MB - about 2 min left"},
        {0, 0, 5, " 0% done"},                                   // no total yet: nothing more to say
        {0, 21 * MB, -1, " 0% done - 0.0 of 21.0 MB"},           // no time known yet
        {MB / 20, 2000 * MB, 60, " 0% done - 0.0 of 2000.0 MB - about 1 min left"},
        {MB / 20 + 1, 4000 * MB, 59, " 0% done - 0.1 of 4000.0 MB - about 59 s left"},
        {10 * MB, 10 * MB, 0, "100% done - 10.0 of 10.0 MB - about 1 s left"},
        {4 * MB, 8 * MB, 3600, "50% done - 4.0 of 8.0 MB - about 60 min left"},
        {4 * MB, 8 * MB, 3601, "50% done - 4.0 of 8.0 MB - about 61 min left"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.text, DownloadProgressText(c.received, c.expected, c.seconds));
    EXPECT_EQ("Connection lost - trying again in 2 s", RetryText(0, 0, false, 1001));
    EXPECT_EQ("50% done - connection lost, trying again in 30 s", RetryText(5, 10, true, 30000));
    EXPECT_EQ("50% done - connection lost, trying again in 0 s", RetryText(5, 10, true, 0));
}

TEST(ProgressText, TimeLeftFollowsTheRateOfTheLastSeconds)
{
    CTimeLeft clock;
    const DWORD t0 = 0xFFFFF000;   // the tick count wraps on the way
    EXPECT_EQ(-1, clock.Seconds(t0, 0, 1000));
    for (DWORD s = 0; s <= 2; s++)
        clock.Add(t0 + s * 1000, s * 100000);
    EXPECT_EQ(-1, clock.Seconds(t0 + 2000, 200000, 1000000));   // under 3 s seen
    clock.Add(t0 + 3000, 300000);
    EXPECT_EQ(10, clock.Seconds(t0 + 3000, 300000, 1000000));    // 100000 a second
    EXPECT_EQ(11, clock.Seconds(t0 + 3000, 300000, 1000001));    // rounded up
    // The rate falls to 10000 a second: after 15 s the old fast seconds have
    // left the window.
    UINT bytes = 300000;
    for (DWORD s = 4; s <= 30; s++)
        clock.Add(t0 + s * 1000, bytes += 10000);
    EXPECT_EQ(100, clock.Seconds(t0 + 30000, bytes, 1000000));
    // Nothing arrives: no time can be told.
    for (DWORD s = 31; s <= 50; s++)
        clock.Add(t0 + s * 1000, bytes);
    EXPECT_EQ(-1, clock.Seconds(t0 + 50000, bytes, 1000000));
    clock.Reset();
    EXPECT_EQ(-1, clock.Seconds(t0 + 51000, bytes, 1000000));
}

TEST(PageImageForStage, EveryStageHasItsPage)
{
    const struct {
        int stage;
        bool dotNetReady;
        UINT page;
    } cases[] = {{0, false, 172}, {1, true, 172}, {2, false, 142}, {3, true, 143}, {3, false, 189},
                 {4, false, 144}, {5, false, 145}, {6, false, 146}, {7, false, 147}};
    for (const auto& c : cases)
        EXPECT_EQ(c.page, PageImageForStage(c.stage, c.dotNetReady)) << c.stage;
}

// The real window, created as start-up creates it (without the later steps).
class MainFrameWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        app.SetRegistryKey("Zembrio");
        ASSERT_TRUE(AfxInitRichEdit());
    }
    RegistrySandbox registry;
    CInstallerApp app;
    CMainFrame frame{app.m_reporter};
};

// Shown as far as the window itself says (the frame is never shown here).
static bool Shown(CWnd& wnd)
{
    return (GetWindowLongA(wnd.m_hWnd, GWL_STYLE) & WS_VISIBLE) != 0;
}

TEST_F(MainFrameWindowTest, WindowIsPlacedShapedAndCoveredByItsClientArea)
{
    ASSERT_TRUE(frame.CreateInstallerWindow(true));
    RECT work, rc, client;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    RECT expected = PlaceWindow(work);
    GetWindowRect(frame.m_hWnd, &rc);
    EXPECT_TRUE(EqualRect(&expected, &rc));
    frame.GetClientRect(&client);
    EXPECT_EQ(rc.right - rc.left, client.right);
    EXPECT_EQ(rc.bottom - rc.top, client.bottom);
    POINT origin = {0, 0};
    ClientToScreen(frame.m_hWnd, &origin);
    EXPECT_EQ(rc.left, origin.x);
    EXPECT_EQ(rc.top, origin.y);

    // Rounded top corners, square bottom corners.
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(ERROR, GetWindowRgn(frame.m_hWnd, region));
    int w = rc.right - rc.left, h = rc.bottom - rc.top;
    EXPECT_FALSE(PtInRegion(region, 0, 0));
    EXPECT_FALSE(PtInRegion(region, w - 1, 0));
    EXPECT_TRUE(PtInRegion(region, w / 2, 0));
    EXPECT_TRUE(PtInRegion(region, 0, h - 1));
    EXPECT_TRUE(PtInRegion(region, w - 2, h - 1));
    DeleteObject(region);

    EXPECT_EQ(0, GetWindowLongA(frame.m_hWnd, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE);
    EXPECT_NE(0, SendMessageA(frame.m_hWnd, WM_GETICON, ICON_BIG, 0));
    EXPECT_EQ(HTCAPTION, SendMessageA(frame.m_hWnd, WM_NCHITTEST, 0, MAKELPARAM(rc.left + 5, rc.top + 100)));
}

// Where each control sits (which are shown and enabled on this first page
// is the end-to-end license scenario's table).
TEST_F(MainFrameWindowTest, ControlsSitWhereTheLayoutPutsThem)
{
    ASSERT_TRUE(frame.CreateInstallerWindow(true));
    ASSERT_TRUE(frame.CreateProgressBar());
    struct {
        CWnd* wnd;
        RECT rc;
    } expected[] = {
        {&app.m_btnHide, {264, 310, 339, 333}},        {&app.m_btnFinish, {352, 310, 427, 333}},
        {&app.m_btnNext, {352, 310, 427, 333}},        {&app.m_btnContinue, {232, 310, 427, 333}},
        {&app.m_btnCancel, {440, 310, 515, 333}},      {&app.m_btnMinimize, {483, 4, 499, 20}},
        {&app.m_btnClose, {499, 4, 515, 20}},          {&app.m_wndProgress, {45, 185, 474, 203}},
        {&app.m_wndProgressText, {45, 207, 474, 225}}, {&app.m_wndLicense, {45, 119, 490, 265}},
        {&app.m_btnAgree, {45, 276, 58, 289}},         {&app.m_lnkHelp, {45, 178, 510, 195}},
        {&app.m_lnkGoodies, {262, 238, 727, 255}},
    };
    for (auto& e : expected) {
        RECT rc;
        GetWindowRect(e.wnd->m_hWnd, &rc);
        MapWindowPoints(nullptr, frame.m_hWnd, (POINT*)&rc, 2);
        EXPECT_TRUE(EqualRect(&e.rc, &rc)) << GetDlgCtrlID(e.wnd->m_hWnd) << " at " << rc.left << "," << rc.top;
    }
    EXPECT_EQ(100, (int)SendMessageA(app.m_wndProgress.m_hWnd, PBM_GETRANGE, FALSE, 0));
    // Made after the first paint, the bar still lies among its siblings
    // where the layout's order puts it, under the close box.
    EXPECT_EQ(app.m_wndProgress.m_hWnd, GetWindow(app.m_btnClose.m_hWnd, GW_HWNDNEXT));
    HFONT font = (HFONT)SendMessageA(app.m_wndProgressText.m_hWnd, WM_GETFONT, 0, 0);
    ASSERT_EQ(app.m_pFont, font);
    LOGFONTA lf;
    GetObjectA(font, sizeof lf, &lf);
    EXPECT_STREQ("Arial", lf.lfFaceName);
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(-(GetDeviceCaps(screen, LOGPIXELSY) * 100 / 720), lf.lfHeight);
    ReleaseDC(nullptr, screen);
}

TEST_F(MainFrameWindowTest, LicenseIsStreamedOnlyOnAFreshStart)
{
    ASSERT_TRUE(frame.CreateInstallerWindow(true));
    std::string text = app.m_wndLicense.GetWindowText();
    EXPECT_EQ(0u, text.find("Zembrio End-User License Agreement")) << text.substr(0, 80);
    EXPECT_EQ(app.m_nLicenseSize, app.m_nLicensePos);
    frame.DestroyWindow();
    CMainFrame resumed(app.m_reporter);
    ASSERT_TRUE(resumed.CreateInstallerWindow(false));
    EXPECT_EQ("", app.m_wndLicense.GetWindowText());
}

// The box's clicks move between stages 0 and 1 (Next follows them in the
// end-to-end license scenario); unticked, the license stays accepted, and
// a focus notification of the box is no click.
TEST_F(MainFrameWindowTest, LicenseBoxDrivesStagesZeroAndOne)
{
    ASSERT_TRUE(frame.CreateInstallerWindow(true));
    frame.SetStage(0);
    auto box = [&](int check, WORD code) {
        app.m_btnAgree.SetCheck(check);
        SendMessageA(frame.m_hWnd, WM_COMMAND, MAKEWPARAM(ID_CHECKBOX, code), (LPARAM)app.m_btnAgree.m_hWnd);
        return frame.m_nStage;
    };
    EXPECT_EQ(1, box(BST_CHECKED, BN_CLICKED));
    EXPECT_EQ(0, box(BST_UNCHECKED, BN_CLICKED));
    EXPECT_TRUE(app.m_bUIFlag);
    EXPECT_EQ(0, box(BST_CHECKED, BN_SETFOCUS));
}

TEST_F(MainFrameWindowTest, ErrorPageLinkIsOneOfTheReports)
{
    ASSERT_TRUE(frame.CreateInstallerWindow(true));
    frame.SetStage(5);
    // Error reports on two threads at once (a worker's and the UI thread's)
    // while the page shows: each link the page would open is one of theirs.
    const std::string links[] = {"http://127.0.0.1:47810/install/faq.htm#network",
                                 "http://127.0.0.1:47810/install/faq.htm#fileio-and-then-some-more-text"};
    frame.SetErrorLink(links[0]);
    std::atomic<bool> stop{false};
    auto report = [&](const std::string& link) {
        while (!stop)
            frame.SetErrorLink(link);
    };
    std::thread first(report, links[0]), second(report, links[1]);
    for (int i = 0; i < 1000; i++) {
        SendMessageA(frame.m_hWnd, WM_APP, 0, 0);
        std::string shown = frame.ErrorLink();
        if (shown != links[0] && shown != links[1]) {
            ADD_FAILURE() << shown;
            break;
        }
    }
    stop = true;
    first.join();
    second.join();
}

// One message per cause, and Try again where a new try in the same run can
// help; the page shows the report's words with the button or without it,
// here over the page that shows Continue (the main application must be
// closed first), whose Next would start the downloads again. (The page's
// other controls are the end-to-end error page's table.)
TEST_F(MainFrameWindowTest, ErrorPageSaysWhatWentWrongAndOffersTryAgain)
{
    const struct {
        int category;
        const char* name;
        UINT message;
        bool retry;
    } cases[] = {
        {CategoryNetwork, "novalidconnection", IDS_ERROR_NETWORK, true},
        {CategoryNetwork, "ThreadControl,NetworkError", IDS_ERROR_NETWORK, true},
        {CategoryNetwork, "ThreadControl,NotAsReleased", IDS_ERROR_REFUSED, true},
        {CategoryNetwork, "ThreadControl,BadRelease", IDS_ERROR_REFUSED, true},
        {CategoryNetwork, "ThreadControl,FileTooSmall", IDS_ERROR_REFUSED, true},
        {CategoryDiskSpace, "150", IDS_ERROR_DISK_SPACE, true},
        {CategoryPermissions, "elevationdeclined", IDS_ERROR_ELEVATION, true},
        {CategoryPermissions, "cantcreateinstallfolder", IDS_ERROR_PERMISSIONS, false},
        {CategoryUnsupportedOS, "windows95", IDS_ERROR_OLD_WINDOWS, false},
        {CategoryFileIO, "ThreadControl,FileIOError", IDS_ERROR_FILE, false},
        {CategoryGeneral, "cantcreatelaunchthread", IDS_ERROR_GENERAL, false},
        {CategorySimulated, "showerrordialogfortesting", IDS_ERROR_GENERAL, false},
    };
    auto showReports = [](CMainFrame& page) {
        MSG posted;
        while (PeekMessageA(&posted, page.m_hWnd, WM_APP, WM_APP, PM_REMOVE))
            DispatchMessageA(&posted);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool retry = !c.retry;
        EXPECT_EQ(c.message, ErrorMessageFor(c.category, c.name, retry));
        EXPECT_EQ(c.retry, retry);
        CMainFrame page(app.m_reporter);
        ASSERT_TRUE(page.CreateInstallerWindow(true));
        page.SetStage(6);
        page.ReportError(c.category, c.name, true, true);
        // What follows the first failure does not replace its words.
        page.ReportError(CategoryGeneral, "launchthreadexitcode1", true, true);
        showReports(page);
        ASSERT_EQ(5, page.m_nStage);
        EXPECT_FALSE(Shown(app.m_btnContinue));
        EXPECT_EQ(ErrorText(c.category, c.name), page.m_wndErrorText.GetWindowText());
        EXPECT_EQ(app.m_reporter.ErrorPageUrl(ErrorCategoryText(c.category)), page.ErrorLink());
        EXPECT_EQ(c.retry, Shown(page.m_btnRetry) && page.m_btnRetry.IsWindowEnabled());
        // Another page hides both.
        page.SetStage(0);
        EXPECT_FALSE(Shown(page.m_wndErrorText));
        EXPECT_FALSE(Shown(page.m_btnRetry));
        page.DestroyWindow();
    }
    // The free megabytes of the report, and only a number, go into the words.
    EXPECT_NE(std::string::npos, ErrorText(CategoryDiskSpace, "150").find("needs 200 MB on the system drive, and 150 MB"));
    EXPECT_NE(std::string::npos, ErrorText(CategoryDiskSpace, "%s%n").find("and fewer than 200 MB are free"));
}

// The Vista notice hides the license and the completion page empties the
// bar (their buttons are the end-to-end pages' tables); then a marked
// failure stops every later stage without touching the error page's controls.
TEST_F(MainFrameWindowTest, NoticeCompletionAndAMarkedFailure)
{
    ASSERT_TRUE(frame.CreateInstallerWindow(true));
    ASSERT_TRUE(frame.CreateProgressBar());
    app.m_wndProgress.SetPos(50);
    EXPECT_TRUE(frame.SetStage(7));
    EXPECT_FALSE(Shown(app.m_wndLicense));
    EXPECT_TRUE(frame.SetStage(4));
    EXPECT_EQ(0, app.m_wndProgress.GetPos());

    frame.SetStage(5);
    frame.m_bFailed = true;
    EXPECT_FALSE(frame.SetStage(7));
    EXPECT_EQ(7, frame.m_nStage);
    EXPECT_FALSE(Shown(app.m_btnNext));
    EXPECT_FALSE(frame.SetStage(4));
    EXPECT_FALSE(frame.SetStage(3));
    EXPECT_TRUE(app.m_btnFinish.IsWindowEnabled());
    EXPECT_EQ(nullptr, frame.m_pLaunchThread);
}

// Alt+F4, the taskbar's and the system menu's Close: the close box's
// handling where it is enabled, nothing where the page disables it.
TEST_F(MainFrameWindowTest, SystemCloseIsTheCloseBox)
{
    ASSERT_TRUE(frame.CreateInstallerWindow(true));
    ASSERT_TRUE(frame.CreateProgressBar());
    MSG msg;
    auto quitPosted = [&msg] { return PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0; };

    // The installation stage disables the box: the window stays, nothing ends.
    EnableWindow(app.m_btnClose.m_hWnd, FALSE);
    SendMessageA(frame.m_hWnd, WM_CLOSE, 0, 0);
    SendMessageA(frame.m_hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(IsWindow(frame.m_hWnd));
    EXPECT_FALSE(quitPosted());
    EXPECT_FALSE(frame.m_bCancel);

    // The completion page: the clean-up runs (here the Vista one, which
    // purges the working folder itself) and the installer ends.
    ScratchFolder scratch;
    app.m_strTempPath = scratch.File("work");
    ASSERT_TRUE(CreateDirectoryA(app.m_strTempPath.c_str(), nullptr));
    ASSERT_TRUE(WriteTextFile(app.m_strTempPath + "\\setupm.exe", "MZ"));
    frame.m_nSystemType = WindowsVista;
    app.m_bCompleted = TRUE;
    ASSERT_TRUE(frame.SetStage(4));
    SendMessageA(frame.m_hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(IsWindow(frame.m_hWnd));
    EXPECT_TRUE(quitPosted());
    EXPECT_EQ(0, (int)msg.wParam);
    EXPECT_FALSE(FileExists(app.m_strTempPath + "\\setupm.exe"));
}

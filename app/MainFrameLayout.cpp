// The main window's layout and painting: its place on the screen, its
// controls and their fonts, the license text, the progress in words, and
// the page images.
#include "app/MainFrame.h"
#include "app/InstallerApp.h"
#include "app/Resource.h"
#include "framework/SystemLibrary.h"
#include "framework/Text.h"
#include "ui/PageImage.h"

enum { kPageWidth = 524, kPageHeight = 338 };

// The window rectangle: the work area moved inward by half the surplus on
// each side, so an odd surplus makes the window one pixel larger.
RECT PlaceWindow(const RECT& workArea)
{
    int dx = ((workArea.right - workArea.left) - kPageWidth) / 2;
    int dy = ((workArea.bottom - workArea.top) - kPageHeight) / 2;
    RECT rc = {workArea.left + dx, workArea.top + dy, workArea.right - dx, workArea.bottom - dy};
    return rc;
}

BOOL CMainFrame::PreCreateWindow(CREATESTRUCTA& cs)
{
    RECT work;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    RECT rc = PlaceWindow(work);
    cs.x = rc.left;
    cs.y = rc.top;
    cs.cx = rc.right - rc.left;
    cs.cy = rc.bottom - rc.top;
    cs.lpszClass = AfxRegisterWndClass(0);
    return TRUE;
}

static DWORD CALLBACK StreamLicense(DWORD_PTR cookie, LPBYTE buffer, LONG count, LONG* done)
{
    CInstallerApp* app = (CInstallerApp*)cookie;
    *done = 0;
    if (!app->m_pLicenseData)
        return 1;
    LONG remaining = app->m_nLicenseSize - app->m_nLicensePos;
    LONG n = count < remaining ? count : remaining;
    if (n > 0) {
        memcpy(buffer, app->m_pLicenseData + app->m_nLicensePos, n);
        app->m_nLicensePos += n;
        *done = n;
    }
    return 0;
}

static void LoadLicense(CInstallerApp* app)
{
    DWORD size = 0;
    app->m_pLicenseData = LoadResourceBytes(IDR_LICENSE, "RTF", &size);
    app->m_nLicenseSize = (int)size;
    app->m_nLicensePos = 0;
    if (!app->m_pLicenseData || !size)
        return;
    EDITSTREAM es = {};
    es.dwCookie = (DWORD_PTR)app;
    es.pfnCallback = StreamLicense;
    app->m_wndLicense.StreamIn(SF_RTF, es);
}

void CMainFrame::LoadLicenseText()
{
    LoadLicense(GetInstallerApp());
}

// A font of the given size in tenths of a point on the screen, everything
// else left at zero.
static HFONT CreatePointFont(int tenthsOfPoint, const char* face)
{
    LOGFONTA lf = {};
    HDC screen = GetDC(nullptr);
    lf.lfHeight = -abs(GetDeviceCaps(screen, LOGPIXELSY) * tenthsOfPoint / 720);
    ReleaseDC(nullptr, screen);
    lstrcpynA(lf.lfFaceName, face, LF_FACESIZE);
    return CreateFontIndirectA(&lf);
}

BOOL CMainFrame::CreateLicenseControl()
{
    CInstallerApp* app = GetInstallerApp();
    RECT rect = {45, 119, 490, 265};
    if (!app->m_wndLicense.Create(WS_VISIBLE | WS_TABSTOP | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY, rect,
                                  this, ID_RICH_EDIT_CONTROL))
        return FALSE;
    // Into the place among its siblings it would have had if made with them.
    SetWindowPos(app->m_wndLicense.m_hWnd, app->m_wndProgressText.m_hWnd, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    return TRUE;
}

BOOL CMainFrame::CreateInstallerWindow(bool streamLicense, bool withLicense)
{
    CInstallerApp* app = GetInstallerApp();
    RECT none = {0, 0, 0, 0};
    if (!Create(nullptr, "Zembrio", WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX, none))
        return FALSE;
    HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_APP));
    SendMessage(WM_SETICON, ICON_BIG, (LPARAM)icon);

    RECT client;
    GetClientRect(&client);
    int W = client.right, H = client.bottom;
    auto R = [](int l, int t, int r, int b) { RECT rc = {l, t, r, b}; return rc; };
    // Made in reading order, which is the order Tab follows: the license
    // text (placed after the progress text when it is made), the box, the
    // page's buttons from left to right, the links. The title bar's buttons
    // are no tab stops, as a caption's are not.
    const DWORD owner = BS_OWNERDRAW, tab = BS_OWNERDRAW | WS_TABSTOP;
    app->m_wndProgressText.Create("", SS_CENTER, R(45, 207, 474, 225), this, ID_PROGRESS_TEXT);
    // BS_NOTIFY: the frame draws the box's focus, which its 13 pixels
    // cannot show.
    app->m_btnAgree.Create(LoadResString(IDS_I_AGREE).c_str(), WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX | BS_NOTIFY,
                           R(45, 276, 58, 289), this, ID_CHECKBOX);
    app->m_btnContinue.Create("I Have Exited Zembrio, Continue", tab | WS_DISABLED, R(W - 292, H - 28, W - 97, H - 5),
                              this, ID_NEXT);
    app->m_btnHide.Create("Hide", tab, R(W - 260, H - 28, W - 185, H - 5), this, ID_HIDE);
    m_btnRetry.Create("Try again", tab, R(W - 260, H - 28, W - 185, H - 5), this, ID_RETRY);
    app->m_btnNext.Create("Next", tab | WS_VISIBLE | WS_DISABLED, R(W - 172, H - 28, W - 97, H - 5), this, ID_NEXT);
    app->m_btnFinish.Create("Finish", tab, R(W - 172, H - 28, W - 97, H - 5), this, ID_FINISH);
    app->m_btnCancel.Create("Cancel", tab | WS_VISIBLE, R(W - 84, H - 28, W - 9, H - 5), this, ID_CANCEL);
    app->m_lnkHelp.Create("Link", tab, R(45, 178, 510, 195), this, ID_LINK);
    app->m_lnkGoodies.Create("Link", tab, R(262, 238, 727, 255), this, ID_GOODIES_LINK);
    app->m_btnMinimize.Create("-", owner | WS_VISIBLE, R(W - 41, 4, W - 25, 20), this, ID_MINIMIZE);
    app->m_btnClose.Create("X", owner | WS_VISIBLE, R(W - 25, 4, W - 9, 20), this, ID_CLOSE);
    m_wndErrorText.Create("", SS_LEFT | SS_NOPREFIX, R(45, 100, 420, 170), this, ID_ERROR_TEXT);

    app->m_pFont = CreatePointFont(100, "Arial");
    app->m_wndProgressText.SetFont(app->m_pFont, TRUE);
    m_wndErrorText.SetFont(app->m_pFont, TRUE);

    // Only the top corners are rounded: the rounded bottom lies below the window.
    SetWindowRgn(m_hWnd, CreateRoundRectRgn(0, 0, W, H + 12, 12, 12), TRUE);

    if (withLicense && !CreateLicenseControl())
        return FALSE;
    if (withLicense && streamLicense)
        LoadLicense(app);
    return TRUE;
}

// The progress bar's class comes from the common controls library, whose
// start-up (its classes, the theme) would delay the window's first paint on
// every start: the bar, and with it the library, comes only after it.
BOOL CMainFrame::CreateProgressBar()
{
    CInstallerApp* app = GetInstallerApp();
    RECT bar = {45, 185, 474, 203};
    if (!app->m_wndProgress.Create(PBS_SMOOTH, bar, this, ID_PROGRESS_BAR))
        return FALSE;
    // Into the place among its siblings it would have had if made with them.
    SetWindowPos(app->m_wndProgress.m_hWnd, app->m_btnClose.m_hWnd, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    app->m_wndProgress.SetRange(0, 100);
    app->m_wndProgress.SetStep(1);
    return TRUE;
}


// The percentage shown for received out of expected bytes: at least two
// characters wide, space-padded (" 7%", "42%").
std::string ProgressText(UINT received, UINT expected)
{
    UINT percent = expected ? (UINT)MulDiv((int)received, 100, (int)expected) : 0;
    return Format("%2u%%", percent);
}

std::string ProgressCaption(const std::string& progress, const std::string& title)
{
    return progress + " - " + title;
}

// Megabytes of 1048576 bytes with one decimal, rounded.
static std::string Megabytes(UINT bytes)
{
    UINT tenths = (UINT)(((ULONGLONG)bytes * 10 + 524288) / 1048576);
    return Format("%u.%u", tenths / 10, tenths % 10);
}

std::string DownloadProgressText(UINT received, UINT expected, int secondsLeft)
{
    std::string text = ProgressText(received, expected) + " done";
    if (!expected)
        return text;
    text += " - " + Megabytes(received) + " of " + Megabytes(expected) + " MB";
    if (secondsLeft >= 60)
        text += Format(" - about %d min left", (secondsLeft + 59) / 60);
    else if (secondsLeft >= 0)
        text += Format(" - about %d s left", secondsLeft ? secondsLeft : 1);
    return text;
}

std::string RetryText(UINT received, UINT expected, bool sizesKnown, DWORD msLeft)
{
    UINT seconds = (UINT)((msLeft + 999) / 1000);
    if (!sizesKnown)
        return Format("Connection lost - trying again in %u s", seconds);
    return ProgressText(received, expected) + Format(" done - connection lost, trying again in %u s", seconds);
}

void CTimeLeft::Add(DWORD now, UINT received)
{
    if (m_nCount && now - m_samples[(m_nFirst + m_nCount - 1) % kSamples].tick < 1000)
        return;
    if (m_nCount == kSamples) {
        m_nFirst = (m_nFirst + 1) % kSamples;
        m_nCount--;
    }
    m_samples[(m_nFirst + m_nCount++) % kSamples] = {now, received};
}

int CTimeLeft::Seconds(DWORD now, UINT received, UINT remaining) const
{
    if (!m_nCount)
        return -1;
    const Sample& oldest = m_samples[m_nFirst];
    DWORD span = now - oldest.tick;
    if (span < 3000 || received <= oldest.bytes)
        return -1;
    ULONGLONG rate = (ULONGLONG)(received - oldest.bytes) * 1000 / span;   // bytes a second
    if (!rate)
        return -1;
    ULONGLONG seconds = (remaining + rate - 1) / rate;
    return seconds > 0x7FFFFFFF ? 0x7FFFFFFF : (int)seconds;
}


// The page image of the stage; stage 3 also places the bar for its page.
UINT PageImageForStage(int stage, bool dotNetReady)
{
    switch (stage) {
    case 0:
    case 1: return IDB_PAGE_LICENSE;
    case 2: return IDB_PAGE_DOWNLOADING;
    case 3: return dotNetReady ? IDB_PAGE_COMPLETING : IDB_PAGE_DOTNET;
    case 4: return IDB_PAGE_COMPLETE;
    case 5: return IDB_PAGE_ERROR;
    case 6: return IDB_PAGE_CLOSE_APP;
    case 7: return IDB_PAGE_VISTA;
    }
    return 0;
}

void CMainFrame::OnPaint()
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(m_hWnd, &ps);
    if (m_nStage == 3) {
        int top = m_bDotNetReady ? 185 : 205;
        RECT bar = {45, top, 45 + 429, top + 18};
        GetInstallerApp()->m_wndProgress.MoveWindow(bar, FALSE);
    }
    CPageImage image;
    RECT natural = {0, 0, 0, 0};
    image.Load(PageImageForStage(m_nStage, m_bDotNetReady));
    image.Render(dc, natural);
    image.Free();
    HWND agree = GetInstallerApp()->m_btnAgree.m_hWnd;
    if (agree && GetFocus() == agree && Pressable(agree)) {
        RECT ring = AgreeFocusRect();
        DrawFocusRect(dc, &ring);
    }
    EndPaint(m_hWnd, &ps);
}

// Around the box and the words beside it that the page image shows.
RECT CMainFrame::AgreeFocusRect() const
{
    RECT ring = {43, 274, 366, 291};
    return ring;
}

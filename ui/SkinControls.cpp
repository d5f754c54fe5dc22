#include "ui/SkinControls.h"
#include <oleacc.h>
#include "framework/SystemLibrary.h"

int SkinBitmapForState(int baseBitmapId, UINT itemState, bool hover)
{
    if (itemState & ODS_SELECTED)
        return baseBitmapId + 2;
    if (itemState & ODS_DISABLED)
        return baseBitmapId + 3;
    if (hover)
        return baseBitmapId + 1;
    return baseBitmapId;
}

LinkStyle LinkStyleForState(UINT itemState, bool hover)
{
    if (itemState & ODS_SELECTED)
        return {RGB(255, 0, 0), true};
    if (itemState & ODS_DISABLED)
        return {RGB(127, 127, 127), false};
    return {RGB(0, 0, 255), hover};
}

// user32's TrackMouseEvent (Windows 98, NT 4 and later), else comctl32's
// _TrackMouseEvent (Internet Explorer 3 and later, so on every Windows 95
// that can run the installer); with neither the buttons never light up.
static BOOL TrackMouse(TRACKMOUSEEVENT* tme)
{
    static const decltype(&::TrackMouseEvent) track = [] {
        decltype(&::TrackMouseEvent) function;
        if (!ResolveFunction(GetModuleHandleA("user32.dll"), "TrackMouseEvent", function))
            ResolveFunction(LoadSystemLibrary("comctl32.dll"), "_TrackMouseEvent", function);
        return function;
    }();
    return track && track(tme);
}

// Hover tracking and double clicks, the same for both button kinds. Returns
// TRUE with *result set when the message was handled here.
static BOOL HandleButtonMouse(CButton& button, int& hover, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    switch (msg) {
    case WM_MOUSEMOVE:
        *result = button.CButton::WindowProc(msg, wParam, lParam);
        if (!hover) {
            TRACKMOUSEEVENT tme = {};
            tme.cbSize = sizeof tme;
            tme.dwFlags = TME_HOVER | TME_LEAVE;
            tme.hwndTrack = button.m_hWnd;
            tme.dwHoverTime = 10;
            TrackMouse(&tme);
        }
        return TRUE;
    case WM_MOUSEHOVER:
    case WM_MOUSELEAVE:
        hover = (msg == WM_MOUSEHOVER);
        // No erase: the face is replaced in one paint.
        InvalidateRect(button.m_hWnd, nullptr, FALSE);
        *result = 0;
        return TRUE;
    case WM_LBUTTONDBLCLK:
        // Two quick clicks are two presses, not a double click.
        button.PostMessage(WM_LBUTTONDOWN, wParam, lParam);
        *result = 0;
        return TRUE;
    }
    return FALSE;
}

void CSkinButton::DrawItem(LPDRAWITEMSTRUCT dis)
{
    int id = SkinBitmapForState(m_nBaseBitmap, dis->itemState, m_bHover != 0);
    // Loaded for every paint: nothing is kept between paints.
    HBITMAP bitmap = LoadBitmapA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id));
    if (!bitmap)
        return;    // a state without artwork draws nothing
    BITMAP info = {};
    GetObjectA(bitmap, sizeof info, &info);
    HDC memory = CreateCompatibleDC(dis->hDC);
    if (memory) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        BitBlt(dis->hDC, 0, 0, info.bmWidth, info.bmHeight, memory, 0, 0, SRCCOPY);
        SelectObject(memory, previous);
        DeleteDC(memory);
    }
    DeleteObject(bitmap);
    // The keyboard's focus, inside the face's border; not where Windows
    // hides focus until the keyboard is used.
    if ((dis->itemState & ODS_FOCUS) && !(dis->itemState & ODS_NOFOCUSRECT)) {
        RECT ring = dis->rcItem;
        InflateRect(&ring, -3, -3);
        SetTextColor(dis->hDC, RGB(0, 0, 0));
        SetBkColor(dis->hDC, RGB(255, 255, 255));
        DrawFocusRect(dis->hDC, &ring);
    }
}

LRESULT CSkinButton::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (HandleButtonMouse(*this, m_bHover, msg, wParam, lParam, &result))
        return result;
    return CButton::WindowProc(msg, wParam, lParam);
}

void CLinkButton::DrawItem(LPDRAWITEMSTRUCT dis)
{
    LinkStyle style = LinkStyleForState(dis->itemState, m_bHover != 0);
    HFONT font = CreateFontA(17, 0, 0, 0, FW_DONTCARE, FALSE, style.underline, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS,
                             "Arial");
    HDC dc = dis->hDC;
    SetTextColor(dc, style.color);
    SetBkColor(dc, kControlBackColor);
    HGDIOBJ previous = font ? SelectObject(dc, font) : nullptr;
    std::string text = GetWindowText();
    RECT client;
    GetClientRect(&client);
    DrawTextA(dc, text.c_str(), (int)text.size(), &client, DT_SINGLELINE | DT_LEFT | DT_VCENTER | DT_NOCLIP);
    if ((dis->itemState & ODS_FOCUS) && !(dis->itemState & ODS_NOFOCUSRECT)) {
        // Around the words, not the whole width of the control.
        RECT ring = client;
        DrawTextA(dc, text.c_str(), (int)text.size(), &ring, DT_SINGLELINE | DT_LEFT | DT_CALCRECT);
        ring.right = ring.right + 2 < client.right ? ring.right + 2 : client.right;
        ring.top = client.top;
        ring.bottom = client.bottom;
        DrawFocusRect(dc, &ring);
    }
    if (font) {
        SelectObject(dc, previous);
        DeleteObject(font);
    }
}

LRESULT CLinkButton::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (HandleButtonMouse(*this, m_bHover, msg, wParam, lParam, &result))
        return result;
    if (msg == WM_ERASEBKGND)
        return 0;
    return CButton::WindowProc(msg, wParam, lParam);
}

CSkinLabel::CSkinLabel() : m_hBackground(CreateSolidBrush(kControlBackColor)) {}

CSkinLabel::~CSkinLabel()
{
    DestroyWindow();
    if (m_hBackground)
        DeleteObject(m_hBackground);
}

HBRUSH CSkinLabel::CtlColor(HDC dc, UINT)
{
    SetTextColor(dc, kLabelTextColor);
    SetBkColor(dc, kControlBackColor);
    return m_hBackground;
}

// The annotation service, or null where Windows has none.
static IAccPropServices* AccessibilityAnnotations()
{
    void* service = nullptr;
    if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                &service)))
        return nullptr;
    return (IAccPropServices*)service;
}

void NameSymbolButtons(HWND minimize, HWND close)
{
    IAccPropServices* service = AccessibilityAnnotations();
    if (!service)
        return;
    if (minimize)
        service->SetHwndPropStr(minimize, (DWORD)OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME, L"Minimize");
    if (close)
        service->SetHwndPropStr(close, (DWORD)OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME, L"Close");
    service->Release();
}

void ForgetSymbolButtonNames(HWND minimize, HWND close)
{
    IAccPropServices* service = AccessibilityAnnotations();
    if (!service)
        return;
    MSAAPROPID name = PROPID_ACC_NAME;
    for (HWND button : {minimize, close})
        if (button)
            service->ClearHwndProps(button, (DWORD)OBJID_CLIENT, CHILDID_SELF, &name, 1);
    service->Release();
}

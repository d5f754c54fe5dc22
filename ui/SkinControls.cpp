#include "ui/SkinControls.h"

// Plain drawing until the skinned look lands: the button's bitmap state and
// the link text are drawn with the platform's defaults.
void CSkinButton::DrawItem(LPDRAWITEMSTRUCT dis)
{
    char text[64];
    ::GetWindowTextA(m_hWnd, text, sizeof text);
    DrawFrameControl(dis->hDC, &dis->rcItem, DFC_BUTTON, DFCS_BUTTONPUSH);
    DrawTextA(dis->hDC, text, -1, &dis->rcItem, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

LRESULT CSkinButton::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return CButton::WindowProc(msg, wParam, lParam);
}

void CLinkButton::DrawItem(LPDRAWITEMSTRUCT dis)
{
    char text[512];
    ::GetWindowTextA(m_hWnd, text, sizeof text);
    DrawTextA(dis->hDC, text, -1, &dis->rcItem, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
}

LRESULT CLinkButton::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return CButton::WindowProc(msg, wParam, lParam);
}

CSkinLabel::CSkinLabel() : m_hBackground(CreateSolidBrush(RGB(240, 240, 240))) {}

CSkinLabel::~CSkinLabel()
{
    DeleteObject(m_hBackground);
}

HBRUSH CSkinLabel::CtlColor(HDC dc, UINT)
{
    SetTextColor(dc, RGB(77, 77, 77));
    SetBkColor(dc, RGB(240, 240, 240));
    return m_hBackground;
}

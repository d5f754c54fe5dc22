// Skinned controls: bitmap buttons, link buttons and the progress label.
#pragma once
#include "framework/Wnd.h"

// The bitmap a skinned button shows: base + 2 pressed, else base + 3
// disabled, else base + 1 under the pointer, else base. The focus is drawn
// over the bitmap; the default state is not drawn.
int SkinBitmapForState(int baseBitmapId, UINT itemState, bool hover);

// Colour and underline of a link's text in a given state.
struct LinkStyle {
    COLORREF color;
    bool underline;
};
LinkStyle LinkStyleForState(UINT itemState, bool hover);

const COLORREF kLabelTextColor = RGB(77, 77, 77);
const COLORREF kControlBackColor = RGB(240, 240, 240);

class CSkinButton : public CButton {
public:
    explicit CSkinButton(int baseBitmapId) : m_nBaseBitmap(baseBitmapId) {}
    ~CSkinButton() override = default;
    void DrawItem(LPDRAWITEMSTRUCT dis) override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

    int m_nBaseBitmap;
    int m_bHover = FALSE;
};

class CLinkButton : public CButton {
public:
    // The command identifier is the window's; the argument only documents it.
    explicit CLinkButton(int commandId = 0) : m_nCommandId(commandId) {}
    ~CLinkButton() override = default;
    void DrawItem(LPDRAWITEMSTRUCT dis) override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

    int m_nCommandId;
    int m_bHover = FALSE;
};

class CSkinLabel : public CStatic {
public:
    CSkinLabel();
    ~CSkinLabel() override;
    HBRUSH CtlColor(HDC dc, UINT ctlType) override;

    HBRUSH m_hBackground;
};

// Spoken names ("Minimize", "Close") for the title bar's buttons, whose
// window texts are symbols, through the accessibility library's annotation
// service where Windows has it (Active Accessibility 2.0, Windows XP and
// later); nothing elsewhere. Forget them before the windows go.
void NameSymbolButtons(HWND minimize, HWND close);
void ForgetSymbolButtonNames(HWND minimize, HWND close);

// Skinned controls: bitmap buttons, link buttons and the progress label.
#pragma once
#include "framework/Wnd.h"

class CSkinButton : public CButton {
public:
    explicit CSkinButton(int baseBitmapId) : m_nBaseBitmap(baseBitmapId) {}
    void DrawItem(LPDRAWITEMSTRUCT dis) override;
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

    int m_nBaseBitmap;
    int m_bHover = FALSE;
};

class CLinkButton : public CButton {
public:
    explicit CLinkButton(int commandId = 0) : m_nCommandId(commandId) {}
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

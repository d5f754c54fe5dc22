#include <gtest/gtest.h>
#include "support/Canvas.h"
#include <vector>
#include "ui/SkinControls.h"

TEST(SkinBitmapForState, PressedBeatsDisabledBeatsHover)
{
    EXPECT_EQ(1051, SkinBitmapForState(1051, 0, false));
    EXPECT_EQ(1052, SkinBitmapForState(1051, 0, true));
    EXPECT_EQ(1053, SkinBitmapForState(1051, ODS_SELECTED, true));
    EXPECT_EQ(1053, SkinBitmapForState(1051, ODS_SELECTED | ODS_DISABLED, false));
    EXPECT_EQ(1054, SkinBitmapForState(1051, ODS_DISABLED, true));
    // Focus and default look are not drawn.
    EXPECT_EQ(185, SkinBitmapForState(185, ODS_FOCUS | ODS_DEFAULT, false));
}

// A parent window that counts the commands its buttons send.
class CTestParent : public CFrameWnd {
public:
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED)
            commands.push_back(LOWORD(wParam));
        return CFrameWnd::WindowProc(msg, wParam, lParam);
    }
    std::vector<int> commands;
};

class SkinControlsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RECT rc = {0, 0, 400, 200};
        ASSERT_TRUE(parent.Create(nullptr, "test", WS_POPUP, rc));
    }
    DRAWITEMSTRUCT Item(CWnd& wnd, HDC dc, UINT state)
    {
        DRAWITEMSTRUCT dis = {};
        dis.CtlType = ODT_BUTTON;
        dis.itemAction = ODA_DRAWENTIRE;
        dis.itemState = state;
        dis.hwndItem = wnd.m_hWnd;
        dis.hDC = dc;
        wnd.GetClientRect(&dis.rcItem);
        return dis;
    }
    static void Pump()
    {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    CTestParent parent;
};

TEST_F(SkinControlsTest, ButtonDrawsTheStateBitmapAtItsOwnSizeOrNothing)
{
    CSkinButton button(1051);
    RECT rc = {10, 10, 85, 33};
    ASSERT_TRUE(button.Create("Next", BS_OWNERDRAW, rc, &parent, 32770));

    // The reference: the pressed bitmap itself.
    HBITMAP pressed = LoadBitmapA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(1053));
    ASSERT_NE(nullptr, pressed);
    Canvas reference(100, 40);
    HDC memory = CreateCompatibleDC(reference.dc);
    HGDIOBJ old = SelectObject(memory, pressed);
    BitBlt(reference.dc, 0, 0, 75, 23, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(pressed);

    Canvas surface(100, 40);
    button.m_bHover = TRUE;
    DRAWITEMSTRUCT dis = Item(button, surface.dc, ODS_SELECTED);
    SetRect(&dis.rcItem, 0, 0, 10, 10);    // not consulted
    // Through the parent's reflection, as the platform delivers it.
    EXPECT_EQ(TRUE, SendMessageA(parent.m_hWnd, WM_DRAWITEM, 32770, (LPARAM)&dis));
    for (int y = 0; y < 23; y += 3)
        for (int x = 0; x < 75; x += 3)
            ASSERT_EQ(reference.At(x, y), surface.At(x, y)) << x << "," << y;
    EXPECT_EQ(RGB(255, 0, 255), surface.At(75, 5));
    EXPECT_EQ(RGB(255, 0, 255), surface.At(5, 23));

    // A state without a bitmap (Hide has no disabled one) draws nothing.
    CSkinButton hide(1021);
    ASSERT_TRUE(hide.Create("Hide", BS_OWNERDRAW, rc, &parent, 32771));
    Canvas blank(100, 40);
    dis = Item(hide, blank.dc, ODS_DISABLED);
    hide.DrawItem(&dis);
    EXPECT_EQ(100 * 40, blank.Count(RGB(255, 0, 255)));
}

TEST_F(SkinControlsTest, DoubleClickActsAsTwoClicksAndHoverFollowsTheMouse)
{
    CSkinButton button(1051);
    CLinkButton link(32785);
    RECT rc = {10, 10, 85, 33}, lrc = {10, 50, 300, 67};
    ASSERT_TRUE(button.Create("Next", BS_OWNERDRAW | WS_VISIBLE, rc, &parent, 32770));
    ASSERT_TRUE(link.Create("Link", BS_OWNERDRAW | WS_VISIBLE, lrc, &parent, 32785));
    parent.ShowWindow(SW_SHOWNOACTIVATE);
    for (CButton* b : {(CButton*)&button, (CButton*)&link}) {
        LPARAM at = MAKELPARAM(5, 5);
        b->SendMessage(WM_LBUTTONDOWN, MK_LBUTTON, at);
        b->SendMessage(WM_LBUTTONUP, 0, at);
        b->SendMessage(WM_LBUTTONDBLCLK, MK_LBUTTON, at);
        // The press comes back as a posted message, with the same flags and point.
        MSG msg;
        ASSERT_TRUE(PeekMessageA(&msg, b->m_hWnd, WM_LBUTTONDOWN, WM_LBUTTONDOWN, PM_NOREMOVE));
        EXPECT_EQ((WPARAM)MK_LBUTTON, msg.wParam);
        EXPECT_EQ(at, msg.lParam);
        Pump();
        b->SendMessage(WM_LBUTTONUP, 0, at);
        Pump();
    }
    std::vector<int> expected = {32770, 32770, 32785, 32785};
    EXPECT_EQ(expected, parent.commands);

    // Hover is set and cleared by the notifications alone, whatever the
    // button's state in between.
    EXPECT_FALSE(button.m_bHover);
    EXPECT_EQ(0, button.SendMessage(WM_MOUSEHOVER, 0, MAKELPARAM(5, 5)));
    EXPECT_TRUE(button.m_bHover);
    button.EnableWindow(FALSE);
    button.ShowWindow(SW_HIDE);
    EXPECT_TRUE(button.m_bHover);
    EXPECT_EQ(0, button.SendMessage(WM_MOUSELEAVE));
    EXPECT_FALSE(button.m_bHover);
}

TEST_F(SkinControlsTest, LinkColoursAndUnderlineFollowTheState)
{
    CLinkButton link(32785);
    RECT rc = {0, 0, 300, 17};
    ASSERT_TRUE(link.Create("Zembrio Free Goodies", BS_OWNERDRAW, rc, &parent, 32785));
    struct {
        UINT state;
        int hover;
        COLORREF color;
        bool underline;
    } cases[] = {
        {0, FALSE, RGB(0, 0, 255), false},
        {0, TRUE, RGB(0, 0, 255), true},
        {ODS_SELECTED, FALSE, RGB(255, 0, 0), true},
        {ODS_DISABLED, TRUE, RGB(127, 127, 127), false},
    };
    for (auto& c : cases) {
        Canvas surface(300, 17);
        LinkStyle style = LinkStyleForState(c.state, c.hover);
        EXPECT_EQ(c.color, style.color) << c.state;
        EXPECT_EQ(c.underline, style.underline) << c.state;
        link.m_bHover = c.hover;
        DRAWITEMSTRUCT dis = Item(link, surface.dc, c.state);
        link.DrawItem(&dis);
        EXPECT_GT(surface.Count(c.color), 20) << c.state;
        // The text sits on the light grey of the pages.
        EXPECT_GT(surface.Count(RGB(240, 240, 240)), 100) << c.state;
        if (c.underline)
            EXPECT_GT(surface.LongestRun(c.color), 100) << c.state;
        else
            EXPECT_LT(surface.LongestRun(c.color), 30) << c.state;
    }
    // Erasing is left out: the link's parent shows through around the text.
    EXPECT_EQ(0, link.SendMessage(WM_ERASEBKGND, 0, 0));
}

TEST_F(SkinControlsTest, LabelAnswersTheColourQueryWithItsBrush)
{
    CSkinLabel label;
    RECT rc = {0, 0, 200, 18};
    ASSERT_TRUE(label.Create("25% done", SS_CENTER | WS_VISIBLE, rc, &parent, 32778));
    HDC dc = GetDC(label.m_hWnd);
    HBRUSH brush = (HBRUSH)SendMessageA(parent.m_hWnd, WM_CTLCOLORSTATIC, (WPARAM)dc, (LPARAM)label.m_hWnd);
    EXPECT_EQ(label.m_hBackground, brush);
    EXPECT_EQ(RGB(77, 77, 77), GetTextColor(dc));
    EXPECT_EQ(RGB(240, 240, 240), GetBkColor(dc));
    ReleaseDC(label.m_hWnd, dc);
    LOGBRUSH lb;
    ASSERT_EQ((int)sizeof lb, GetObjectA(brush, sizeof lb, &lb));
    EXPECT_EQ(RGB(240, 240, 240), lb.lbColor);

    // Painted for real: background and text in the label's colours.
    Canvas surface(200, 18);
    SendMessageA(label.m_hWnd, WM_PRINTCLIENT, (WPARAM)surface.dc, PRF_CLIENT | PRF_ERASEBKGND);
    EXPECT_EQ(RGB(240, 240, 240), surface.At(2, 2));
    EXPECT_GT(surface.Count(RGB(77, 77, 77)), 5);
}

// Windows as objects: a window procedure per class (virtual WindowProc), the
// object found from its handle through a window property set at creation and
// removed at destruction, and reflection of owner-draw and control-colour
// requests from a parent to the child control they concern.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>
#include <string>

class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return this ? m_hWnd : nullptr; }

    BOOL CreateEx(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                  const RECT& rect, CWnd* parent, UINT id, void* createParam = nullptr);
    // Takes over a window created from a system class (button, static...).
    BOOL SubclassWindow(HWND hwnd);
    BOOL DestroyWindow();
    static CWnd* FromHandle(HWND hwnd);

    // Messages not handled by a derived class end here: reflection to the
    // child control concerned, then the class's original procedure.
    virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    // A child answers a request its parent reflected; TRUE when handled.
    virtual BOOL OnChildNotify(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result);
    virtual void PostNcDestroy() {}

    BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
    BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void SetWindowText(const std::string& text) { ::SetWindowTextA(m_hWnd, text.c_str()); }
    std::string GetWindowText() const;
    void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
    void UpdateWindow() { ::UpdateWindow(m_hWnd); }
    void MoveWindow(const RECT& rc, BOOL repaint = TRUE)
    {
        ::MoveWindow(m_hWnd, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, repaint);
    }
    void GetClientRect(RECT* rc) const { ::GetClientRect(m_hWnd, rc); }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse) { return ::SetTimer(m_hWnd, id, elapse, nullptr); }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
    void SetFont(HFONT font, BOOL redraw = TRUE) { SendMessage(WM_SETFONT, (WPARAM)font, redraw); }
    LRESULT SendMessage(UINT msg, WPARAM wp = 0, LPARAM lp = 0) { return ::SendMessageA(m_hWnd, msg, wp, lp); }
    BOOL PostMessage(UINT msg, WPARAM wp = 0, LPARAM lp = 0) { return ::PostMessageA(m_hWnd, msg, wp, lp); }

    // The window procedure of every framework window and subclassed control.
    static LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

protected:
    void Attach(HWND hwnd);
    WNDPROC m_pfnSuper = nullptr;
};

// Registers (once) a window class whose procedure is the framework's and
// returns its name.
const char* AfxRegisterWndClass(UINT classStyle, HCURSOR cursor = nullptr, HBRUSH background = nullptr,
                                HICON icon = nullptr);

class CFrameWnd : public CWnd {
public:
    BOOL Create(const char* className, const char* windowName, DWORD style, const RECT& rect,
                CWnd* parent = nullptr, const char* menuName = nullptr, DWORD exStyle = 0);
    virtual BOOL PreCreateWindow(CREATESTRUCTA& cs);
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
};

class CButton : public CWnd {
public:
    BOOL Create(const char* caption, DWORD style, const RECT& rect, CWnd* parent, UINT id);
    int GetCheck() const { return (int)::SendMessageA(m_hWnd, BM_GETCHECK, 0, 0); }
    void SetCheck(int check) { ::SendMessageA(m_hWnd, BM_SETCHECK, check, 0); }
    // Owner-drawn buttons paint here when the parent reflects WM_DRAWITEM.
    virtual void DrawItem(LPDRAWITEMSTRUCT) {}
    BOOL OnChildNotify(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};

class CStatic : public CWnd {
public:
    BOOL Create(const char* text, DWORD style, const RECT& rect, CWnd* parent, UINT id);
    // The reflected colour query; a null brush leaves the default colours.
    virtual HBRUSH CtlColor(HDC, UINT /*ctlType*/) { return nullptr; }
    BOOL OnChildNotify(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};

class CProgressCtrl : public CWnd {
public:
    BOOL Create(DWORD style, const RECT& rect, CWnd* parent, UINT id);
    void SetRange(short lower, short upper) { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper)); }
    void SetStep(int step) { SendMessage(PBM_SETSTEP, step); }
    int SetPos(int pos) { return (int)SendMessage(PBM_SETPOS, pos); }
    int GetPos() { return (int)SendMessage(PBM_GETPOS); }
};

class CRichEditCtrl : public CWnd {
public:
    BOOL Create(DWORD style, const RECT& rect, CWnd* parent, UINT id);
    // Tab, Enter and Esc are the window's, not the text's: a read-only text
    // takes no keys but those that move through it, and shows no selection
    // when Tab reaches it.
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
    long StreamIn(int format, EDITSTREAM& es) { return (long)SendMessage(EM_STREAMIN, format, (LPARAM)&es); }
};

BOOL AfxInitRichEdit();

#include "framework/Wnd.h"
#include <string>
#include "framework/SystemLibrary.h"
#include "framework/WinApp.h"

static const char kObjectProp[] = "Zembrio.CWnd";

CWnd::~CWnd()
{
    DestroyWindow();
}

CWnd* CWnd::FromHandle(HWND hwnd)
{
    return hwnd ? (CWnd*)GetPropA(hwnd, kObjectProp) : nullptr;
}

void CWnd::Attach(HWND hwnd)
{
    m_hWnd = hwnd;
    SetPropA(hwnd, kObjectProp, this);
}

BOOL CWnd::CreateEx(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                    const RECT& rect, CWnd* parent, UINT id, void* createParam)
{
    HWND hwnd = CreateWindowExA(exStyle, className, windowName, style, rect.left, rect.top,
                                rect.right - rect.left, rect.bottom - rect.top, parent ? parent->m_hWnd : nullptr,
                                (HMENU)(UINT_PTR)id, GetModuleHandleA(nullptr), createParam ? createParam : this);
    if (!hwnd)
        return FALSE;
    // Windows of the framework's own class attached themselves at WM_NCCREATE;
    // system controls are subclassed now.
    if (!m_hWnd)
        SubclassWindow(hwnd);
    return TRUE;
}

BOOL CWnd::SubclassWindow(HWND hwnd)
{
    Attach(hwnd);
    m_pfnSuper = (WNDPROC)SetWindowLongPtrA(hwnd, GWLP_WNDPROC, (LONG_PTR)StaticWndProc);
    return m_pfnSuper != nullptr;
}

BOOL CWnd::DestroyWindow()
{
    if (!m_hWnd)
        return FALSE;
    return ::DestroyWindow(m_hWnd);
}

std::string CWnd::GetWindowText() const
{
    int n = GetWindowTextLengthA(m_hWnd);
    std::string text(n + 1, '\0');
    n = ::GetWindowTextA(m_hWnd, &text[0], n + 1);
    text.resize(n > 0 ? n : 0);
    return text;
}

LRESULT CALLBACK CWnd::StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CWnd* wnd = FromHandle(hwnd);
    if (!wnd && msg == WM_NCCREATE) {
        wnd = (CWnd*)((CREATESTRUCTA*)lParam)->lpCreateParams;
        if (wnd)
            wnd->Attach(hwnd);
    }
    if (!wnd)
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    return wnd->WindowProc(msg, wParam, lParam);
}

BOOL CWnd::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT*)
{
    return FALSE;
}

LRESULT CWnd::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    HWND child = nullptr;
    switch (msg) {
    case WM_DRAWITEM:
        child = ((DRAWITEMSTRUCT*)lParam)->hwndItem;
        break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
        child = (HWND)lParam;
        break;
    }
    if (CWnd* target = FromHandle(child)) {
        LRESULT result = 0;
        if (target->OnChildNotify(msg, wParam, lParam, &result))
            return result;
    }

    HWND hwnd = m_hWnd;
    WNDPROC super = m_pfnSuper;
    if (msg == WM_NCDESTROY) {
        RemovePropA(hwnd, kObjectProp);
        if (super)
            SetWindowLongPtrA(hwnd, GWLP_WNDPROC, (LONG_PTR)super);
        m_hWnd = nullptr;
        m_pfnSuper = nullptr;
        CWinApp* app = AfxGetApp();
        if (app && app->m_pMainWnd == this)
            PostQuitMessage(0);
        LRESULT r = super ? CallWindowProcA(super, hwnd, msg, wParam, lParam) : DefWindowProcA(hwnd, msg, wParam, lParam);
        PostNcDestroy();
        return r;
    }
    return super ? CallWindowProcA(super, hwnd, msg, wParam, lParam) : DefWindowProcA(hwnd, msg, wParam, lParam);
}

const char* AfxRegisterWndClass(UINT classStyle, HCURSOR cursor, HBRUSH background, HICON icon)
{
    static char name[64];
    wsprintfA(name, "Zembrio:%x:%p:%p:%p", classStyle, cursor, background, icon);
    WNDCLASSA wc = {};
    HINSTANCE inst = GetModuleHandleA(nullptr);
    if (!GetClassInfoA(inst, name, &wc)) {
        wc.style = classStyle;
        wc.lpfnWndProc = CWnd::StaticWndProc;
        wc.hInstance = inst;
        wc.hCursor = cursor;
        wc.hbrBackground = background;
        wc.hIcon = icon;
        wc.lpszClassName = name;
        if (!RegisterClassA(&wc))
            return nullptr;
    }
    return name;
}

BOOL CFrameWnd::PreCreateWindow(CREATESTRUCTA&)
{
    return TRUE;
}

BOOL CFrameWnd::Create(const char* className, const char* windowName, DWORD style, const RECT& rect,
                       CWnd* parent, const char* menuName, DWORD exStyle)
{
    CREATESTRUCTA cs = {};
    cs.lpszClass = className ? className : AfxRegisterWndClass(0);
    cs.lpszName = windowName;
    cs.style = style;
    cs.dwExStyle = exStyle;
    cs.x = rect.left;
    cs.y = rect.top;
    cs.cx = rect.right - rect.left;
    cs.cy = rect.bottom - rect.top;
    cs.hwndParent = parent ? parent->m_hWnd : nullptr;
    cs.hMenu = menuName ? LoadMenuA(GetModuleHandleA(nullptr), menuName) : nullptr;
    cs.hInstance = GetModuleHandleA(nullptr);
    if (!PreCreateWindow(cs))
        return FALSE;
    RECT rc = {cs.x, cs.y, cs.x + cs.cx, cs.y + cs.cy};
    return CreateEx(cs.dwExStyle, cs.lpszClass, cs.lpszName, cs.style, rc, parent, (UINT)(UINT_PTR)cs.hMenu);
}

LRESULT CFrameWnd::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return CWnd::WindowProc(msg, wParam, lParam);
}

BOOL CButton::Create(const char* caption, DWORD style, const RECT& rect, CWnd* parent, UINT id)
{
    return CreateEx(0, "BUTTON", caption, style | WS_CHILD, rect, parent, id);
}

BOOL CButton::OnChildNotify(UINT msg, WPARAM, LPARAM lParam, LRESULT* result)
{
    if (msg != WM_DRAWITEM)
        return FALSE;
    DrawItem((LPDRAWITEMSTRUCT)lParam);
    *result = TRUE;
    return TRUE;
}

BOOL CStatic::Create(const char* text, DWORD style, const RECT& rect, CWnd* parent, UINT id)
{
    return CreateEx(0, "STATIC", text, style | WS_CHILD, rect, parent, id);
}

BOOL CStatic::OnChildNotify(UINT msg, WPARAM wParam, LPARAM, LRESULT* result)
{
    if (msg != WM_CTLCOLORSTATIC)
        return FALSE;
    HBRUSH brush = CtlColor((HDC)wParam, CTLCOLOR_STATIC);
    if (!brush)
        return FALSE;
    *result = (LRESULT)brush;
    return TRUE;
}

// Control libraries come from the system folder (LoadSystemLibrary). They
// stay loaded: their window classes live in them.
static HMODULE LoadCommonControls()
{
    HMODULE lib = LoadSystemLibrary("comctl32.dll");
    if (FARPROC init = lib ? GetProcAddress(lib, "InitCommonControls") : nullptr)
        ((void(WINAPI*)())init)();
    return lib;
}

// The class is registered on first use, as the common controls library is
// loaded only then.
BOOL CProgressCtrl::Create(DWORD style, const RECT& rect, CWnd* parent, UINT id)
{
    static HMODULE lib = LoadCommonControls();
    return lib && CreateEx(0, PROGRESS_CLASSA, nullptr, style | WS_CHILD, rect, parent, id);
}

BOOL CRichEditCtrl::Create(DWORD style, const RECT& rect, CWnd* parent, UINT id)
{
    return CreateEx(0, RICHEDIT_CLASSA, nullptr, style | WS_CHILD, rect, parent, id);
}

LRESULT CRichEditCtrl::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = CWnd::WindowProc(msg, wParam, lParam);
    if (msg == WM_GETDLGCODE && (GetWindowLongA(m_hWnd, GWL_STYLE) & ES_READONLY))
        result &= ~(DLGC_WANTTAB | DLGC_WANTALLKEYS | DLGC_WANTMESSAGE | DLGC_HASSETSEL);
    return result;
}

BOOL AfxInitRichEdit()
{
    static HMODULE lib = LoadSystemLibrary("riched20.dll");
    return lib != nullptr;
}

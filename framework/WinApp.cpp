#include "framework/WinApp.h"
#include "framework/Text.h"
#include "framework/Wnd.h"

static CWinApp* g_currentApp;

CWinApp::CWinApp()
{
    g_currentApp = this;
    m_hInstance = GetModuleHandleA(nullptr);
    m_strAppName = LoadResString(AFX_IDS_APP_TITLE);
}

CWinApp::~CWinApp()
{
    if (g_currentApp == this)
        g_currentApp = nullptr;
}

CWinApp* AfxGetApp()
{
    return g_currentApp;
}

CWnd* AfxGetMainWnd()
{
    return g_currentApp ? g_currentApp->m_pMainWnd : nullptr;
}

int CWinApp::Run()
{
    MSG msg;
    bool idle = true;
    LONG idleCount = 0;
    for (;;) {
        while (idle && !PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!OnIdle(idleCount++))
                idle = false;
        }
        do {
            if (!GetMessageA(&msg, nullptr, 0, 0)) {
                m_nExitCode = (int)msg.wParam;
                return ExitInstance();
            }
            // Tab, Enter, Esc and Space among the main window's controls,
            // as in a dialog.
            HWND main = m_pMainWnd ? m_pMainWnd->m_hWnd : nullptr;
            if (!main || !IsDialogMessageA(main, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            // Mouse moves and the caret blink do not restart idle processing.
            if (msg.message != WM_MOUSEMOVE && msg.message != WM_NCMOUSEMOVE && msg.message != 0x0118) {
                idle = true;
                idleCount = 0;
            }
        } while (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    }
}

HKEY CWinApp::OpenSectionKey(const char* section, bool create)
{
    std::string path = "Software\\" + m_strRegistryKey + "\\" + m_strAppName;
    if (section && *section)
        path += std::string("\\") + section;
    HKEY key = nullptr;
    LONG rc = create ? RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_READ | KEY_WRITE, nullptr, &key, nullptr)
                     : RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key);
    return rc == ERROR_SUCCESS ? key : nullptr;
}

std::string CWinApp::GetProfileString(const char* section, const char* entry, const char* defaultValue)
{
    std::string value = defaultValue ? defaultValue : "";
    HKEY key = OpenSectionKey(section, false);
    if (!key)
        return value;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, entry, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
        std::string buf(size + 1, '\0');
        if (RegQueryValueExA(key, entry, nullptr, &type, (BYTE*)&buf[0], &size) == ERROR_SUCCESS)
            value = buf.c_str();
    }
    RegCloseKey(key);
    return value;
}

UINT CWinApp::GetProfileInt(const char* section, const char* entry, int defaultValue)
{
    UINT value = (UINT)defaultValue;
    HKEY key = OpenSectionKey(section, false);
    if (!key)
        return value;
    DWORD type = 0, data = 0, size = sizeof data;
    if (RegQueryValueExA(key, entry, nullptr, &type, (BYTE*)&data, &size) == ERROR_SUCCESS && type == REG_DWORD)
        value = data;
    RegCloseKey(key);
    return value;
}

BOOL CWinApp::WriteProfileString(const char* section, const char* entry, const char* value)
{
    HKEY key = OpenSectionKey(section, true);
    if (!key)
        return FALSE;
    LONG rc = value ? RegSetValueExA(key, entry, 0, REG_SZ, (const BYTE*)value, (DWORD)strlen(value) + 1)
                    : RegDeleteValueA(key, entry);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

BOOL CWinApp::WriteProfileInt(const char* section, const char* entry, int value)
{
    HKEY key = OpenSectionKey(section, true);
    if (!key)
        return FALSE;
    DWORD data = (DWORD)value;
    LONG rc = RegSetValueExA(key, entry, 0, REG_DWORD, (const BYTE*)&data, sizeof data);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

int AfxWinMain(HINSTANCE instance, const char* cmdLine)
{
    CWinApp* app = AfxGetApp();
    if (!app)
        return -1;
    app->m_hInstance = instance;
    app->m_strCmdLine = cmdLine ? cmdLine : "";
    if (!app->InitInstance()) {
        if (app->m_pMainWnd)
            app->m_pMainWnd->DestroyWindow();
        return app->ExitInstance();
    }
    return app->Run();
}

// The application object: start-up and exit hooks, the message loop with idle
// processing, and the profile kept in the registry.
#pragma once
#include <windows.h>
#include <string>

class CWnd;

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();

    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance() { return m_nExitCode; }
    // Called when the queue is empty; TRUE asks for another idle pass.
    virtual BOOL OnIdle(LONG count) { return count < 1; }
    virtual int Run();

    // The profile lives under HKCU\Software\<key>\<application name>.
    void SetRegistryKey(const char* key) { m_strRegistryKey = key; }
    std::string GetProfileString(const char* section, const char* entry, const char* defaultValue = "");
    UINT GetProfileInt(const char* section, const char* entry, int defaultValue);
    BOOL WriteProfileString(const char* section, const char* entry, const char* value);
    BOOL WriteProfileInt(const char* section, const char* entry, int value);

    CWnd* m_pMainWnd = nullptr;
    HINSTANCE m_hInstance = nullptr;
    std::string m_strAppName;       // string 57344, the application title
    std::string m_strRegistryKey;
    std::string m_strCmdLine;
    int m_nExitCode = 0;

private:
    HKEY OpenSectionKey(const char* section, bool create);
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
// Runs the current application object: InitInstance, then the message loop.
int AfxWinMain(HINSTANCE instance, const char* cmdLine);

enum { AFX_IDS_APP_TITLE = 57344 };

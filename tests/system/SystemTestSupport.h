// Shared set-up of the system tests: a private registry, an application with
// its run log and shell folders in a scratch folder, and a window object to
// receive reports.
#pragma once
#include <gtest/gtest.h>
#include <utility>
#include <vector>
#include "app/InstallerApp.h"
#include "app/MainFrame.h"
#include "report/RunReports.h"
#include "support/TestSupport.h"

typedef std::vector<std::pair<std::string, std::string>> LogEntries;

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        app.SetRegistryKey("Zembrio");
        app.m_pMainWnd = &frame;
        app.m_strTempFolder = scratch.Path();
        app.m_strTempPath = scratch.Path();
        app.OpenRunLog();
        const char* names[ShellFolderCount] = {"Common Files", "System", "Desktop", "Program Files",
                                               "Programs", "Startup", "Windows", "AppData"};
        for (int i = 0; i < ShellFolderCount; i++) {
            app.m_astrShellFolder[i] = scratch.File(names[i]);
            CreateDirectoryA(app.m_astrShellFolder[i].c_str(), nullptr);
        }
    }
    void TearDown() override
    {
        app.CloseRunLog();
        app.m_pMainWnd = nullptr;
    }

    LogEntries Log() const
    {
        LogEntries out;
        std::string text = ReadTextFile(scratch.File("log.txt"));
        size_t pos = 0, end;
        while ((end = text.find("\r\n", pos)) != std::string::npos) {
            std::string line = text.substr(pos, end - pos);
            size_t eq = line.find('=');
            out.emplace_back(line.substr(0, eq), eq == std::string::npos ? "" : line.substr(eq + 1));
            pos = end + 2;
        }
        return out;
    }

    // The reports the checks are handed: to the run log, failures counted.
    struct CountedFailures : CFailureSink {
        void MarkFailed() override { count++; }
        void ShowErrorPage(int, const char*, const std::string&) override {}
        int count = 0;
    };

    RegistrySandbox registry;
    ScratchFolder scratch;
    CInstallerApp app;
    CMainFrame frame{app.m_reporter};
    CountedFailures failures;
    CRunReports reports{app.m_runLog, app.m_reporter, failures};
};

// Creates every key of a path under a root and sets one string value.
inline void PlantString(HKEY root, const std::string& path, const char* name, const std::string& value)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (name)
        RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)value.c_str(), (DWORD)value.size() + 1);
    RegCloseKey(key);
}

// Makes every folder of a path.
inline void MakeFolders(const std::string& path)
{
    for (size_t pos = path.find('\\', 3); pos != std::string::npos; pos = path.find('\\', pos + 1))
        CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
    CreateDirectoryA(path.c_str(), nullptr);
}

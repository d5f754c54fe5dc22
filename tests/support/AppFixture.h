// An application object wired as start-up leaves it: a private registry, a
// working folder with an open run log, an internet session, a real (hidden)
// main frame to receive error reports, and the web addresses pointed at
// loopback servers of the test.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "LoopbackServer.h"
#include "RoomFixture.h"
#include "TestSupport.h"
#include "app/InstallerApp.h"
#include "app/MainFrame.h"

class AppFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new hidden frame in place of the current one, as the application's window.
    void NewFrame();
    void UseEndpoints(const std::string& base, const std::string& siteRoot = "") { endpoints.Use(base, siteRoot); }
    std::vector<std::string> LogLines() const { return RunLogLines(folder.File("log.txt")); }
    // Whether the frame was asked for the error page (removes the request).
    bool ErrorPageRequested();
    // The logger's request targets once every report made so far is sent.
    std::vector<std::string> Sent() const;

    RegistrySandbox registry;
    ScratchFolder folder;
    CInstallerApp app;
    CMainFrame* frame = nullptr;
    LoopbackServer logger;
    TestEndpoints endpoints{logger.Url()};
};

// What a room below the application is handed, made for a test: a private
// registry, a scratch folder with an open run log, the web addresses pointed
// at a loopback logger, an event reporter sending to it, and a failure sink
// that records what the room told the window. No application, no frame.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>
#include "LoopbackServer.h"
#include "TestSupport.h"
#include "framework/Internet.h"
#include "report/RunReports.h"

typedef std::vector<std::pair<std::string, std::string>> LogEntries;

// Points the five kinds of address at a base for the life of the object
// (kind paths appended as the product does); the site root may go
// elsewhere, to make only the probe fail.
class TestEndpoints {
public:
    explicit TestEndpoints(const std::string& base, const std::string& siteRoot = "") { Use(base, siteRoot); }
    ~TestEndpoints() { g_pTestEndpoints = nullptr; }
    TestEndpoints(const TestEndpoints&) = delete;
    TestEndpoints& operator=(const TestEndpoints&) = delete;
    void Use(const std::string& base, const std::string& siteRoot = "");

private:
    std::string m_astrEndpoint[5];
    const char* m_apszEndpoint[5] = {};
};

// The window as the rooms see it: what it was asked to do, in order.
struct RecordedFailures : CFailureSink {
    void MarkFailed() override { failed++; }
    void ShowErrorPage(int category, const char* name, const std::string& helpUrl) override
    {
        pages.push_back(std::to_string(category) + " " + (name ? name : "") + " " + helpUrl);
    }
    int failed = 0;
    std::vector<std::string> pages;   // "category name help-address"
};

// A run log's lines without their line ends; an unterminated last line is
// marked so.
std::vector<std::string> RunLogLines(const std::string& path);
// The same lines as name and value.
LogEntries RunLogEntries(const std::string& path);

class RoomFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::vector<std::string> LogLines() const { return RunLogLines(runLog.Path()); }
    LogEntries Log() const { return RunLogEntries(runLog.Path()); }
    // The logger's request targets once every report made so far is sent.
    std::vector<std::string> Sent() const;

    RegistrySandbox registry;
    ScratchFolder scratch;
    LoopbackServer logger;
    TestEndpoints endpointsInUse{logger.Url()};
    CEndpointSet endpoints;
    std::string userId;
    CRunLog runLog;
    CEventReporter reporter{runLog, endpoints, userId};
    CInternetSession session{"ZembrioTests", 1, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0};
    RecordedFailures failures;
    CRunReports reports{runLog, reporter, failures};
};

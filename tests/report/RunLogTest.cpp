#include <gtest/gtest.h>
#include <thread>
#include <vector>
#include "report/RunLog.h"
#include "support/TestSupport.h"

class RunLogTest : public ::testing::Test {
protected:
    bool Open() { return log.Open(folder.Path()); }
    bool Write(const char* name, const std::string& value) { return log.Write(name, value.c_str()); }
    std::string Log() const { return ReadTextFile(folder.File("log.txt")); }
    ScratchFolder folder;
    CRunLog log;
};

TEST_F(RunLogTest, LinesAreNameEqualsValueCrLfAppendedAfterEarlierRuns)
{
    WriteTextFile(folder.File("log.txt"), "Time=earlier run\r\n");
    ASSERT_TRUE(Open());
    EXPECT_EQ(folder.File("log.txt"), log.Path());
    EXPECT_TRUE(Open());
    EXPECT_TRUE(Write("Temp Folder", "C:\\a b\\x=y,z"));
    EXPECT_TRUE(log.Write("UserId", nullptr));
    EXPECT_TRUE(Write("Event", "general,bootstrapstart"));
    EXPECT_EQ("Time=earlier run\r\nTemp Folder=C:\\a b\\x=y,z\r\nUserId=\r\nEvent=general,bootstrapstart\r\n", Log());
}

TEST_F(RunLogTest, OpeningCreatesAnEmptyLogAndWritesNeedAnOpenLog)
{
    EXPECT_FALSE(Write("Before", "open"));
    EXPECT_FALSE(FileExists(folder.File("log.txt")));
    ASSERT_TRUE(Open());
    EXPECT_TRUE(FileExists(folder.File("log.txt")));
    EXPECT_EQ("", Log());
}

TEST_F(RunLogTest, WritesAfterCloseAreRefusedAndLeaveTheFile)
{
    ASSERT_TRUE(Open());
    Write("A", "1");
    log.Close();
    EXPECT_FALSE(Write("B", "2"));
    EXPECT_EQ("A=1\r\n", Log());
    log.Close();
}

// An exclusive handle of another program makes the start-up open fail.
TEST_F(RunLogTest, LogThatCannotBeOpenedAtStartStaysDisabledForTheRun)
{
    WriteTextFile(folder.File("log.txt"), "old\r\n");
    HANDLE other = CreateFileA(folder.File("log.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    EXPECT_FALSE(Open());
    EXPECT_FALSE(Write("A", "1"));
    CloseHandle(other);
    // Still disabled: the decision was made at opening.
    EXPECT_FALSE(Write("B", "2"));
    EXPECT_EQ("old\r\n", Log());
}

TEST_F(RunLogTest, ReadOnlyLogDisablesLoggingForTheRun)
{
    WriteTextFile(folder.File("log.txt"), "old\r\n");
    SetFileAttributesA(folder.File("log.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    HANDLE probe = CreateFileA(folder.File("log.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        SetFileAttributesA(folder.File("log.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
        GTEST_SKIP() << "read-only files are writable here (Wine running as root)";
    }
    EXPECT_FALSE(Open());
    EXPECT_FALSE(Write("A", "1"));
    SetFileAttributesA(folder.File("log.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(Write("B", "2"));
    EXPECT_EQ("old\r\n", Log());
}

TEST_F(RunLogTest, LineIsDroppedWhileAnotherProgramWritesTheLog)
{
    ASSERT_TRUE(Open());
    HANDLE other = CreateFileA(folder.File("log.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    EXPECT_FALSE(Write("Lost", "1"));
    CloseHandle(other);
    EXPECT_TRUE(Write("Kept", "2"));
    EXPECT_EQ("Kept=2\r\n", Log());
}

TEST_F(RunLogTest, ConcurrentWritersNeverSplitALine)
{
    ASSERT_TRUE(Open());
    const int kThreads = 4, kLines = 150;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; t++) {
        writers.emplace_back([this, t] {
            std::string value(300 + t * 50, (char)('a' + t));
            for (int i = 0; i < kLines; i++)
                Write(("Thread" + std::to_string(t)).c_str(), value + std::to_string(i));
        });
    }
    for (auto& w : writers)
        w.join();
    std::string text = Log();
    int next[kThreads] = {};
    size_t start = 0, end;
    int lines = 0;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        std::string line = text.substr(start, end - start);
        start = end + 2;
        lines++;
        ASSERT_EQ(0u, line.find("Thread")) << line.substr(0, 40);
        int t = line[6] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads);
        // Each thread's lines come whole and in its own order.
        ASSERT_EQ("Thread" + std::to_string(t) + "=" + std::string(300 + t * 50, (char)('a' + t)) +
                      std::to_string(next[t]),
                  line);
        next[t]++;
    }
    EXPECT_EQ(text.size(), start);
    EXPECT_EQ(kThreads * kLines, lines);
}

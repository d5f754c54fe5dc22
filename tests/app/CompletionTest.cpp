#include <winsock2.h>
#include <gtest/gtest.h>
#include <string>
#include "app/Resource.h"
#include "framework/Thread.h"
#include "support/AppFixture.h"

// The end of the installation: what the idle wait makes of the launch
// worker's end, and what Finish does with the product.
class CompletionTest : public AppFixture {
protected:
    // A launch worker that has already ended with the given exit code.
    void EndedWorker(UINT code)
    {
        CWinThread* thread = AfxBeginThread([](void* p) -> UINT { return (UINT)(UINT_PTR)p; },
                                            (void*)(UINT_PTR)code, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
        ASSERT_NE(nullptr, thread);
        thread->m_bAutoDelete = FALSE;
        thread->ResumeThread();
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread->m_hThread, 10000));
        frame->m_pLaunchThread = thread;
    }
};

TEST_F(CompletionTest, LaunchWorkerEndDecidesTheCompletionAndItIsRecordedAtOnce)
{
    const struct {
        UINT code;
        bool failed, cancelled;
        const char* logged;   // the last run-log line; null: none written
        bool completed;
    } cases[] = {
        {0, false, false, "Event=general,bootstrapcomplete", true},
        // The worker reported its own error, or the user cancelled: it
        // still ends with 0, which is no completion.
        {0, true, false, nullptr, false},
        {0, false, true, nullptr, false},
        {0xFF, false, false, "Error=general,launchthreadexitcodeFF", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged ? c.logged : "nothing");
        app.m_bCompleted = FALSE;
        app.WriteProfileInt("", "Completed", 0);
        frame->m_nStage = 3;
        frame->m_bFailed = c.failed;
        frame->m_bCancel = c.cancelled;
        size_t logged = LogLines().size();
        EndedWorker(c.code);
        app.OnIdle(0);
        EXPECT_EQ(nullptr, frame->m_pLaunchThread);
        std::vector<std::string> lines = LogLines();
        if (c.logged)
            EXPECT_EQ(c.logged, lines.back());
        else
            EXPECT_EQ(logged, lines.size());
        EXPECT_EQ(c.completed ? 4 : 3, frame->m_nStage);
        // Before the completion page shows, not at exit: a kill or a power
        // loss there must not start the installation again at the next logon.
        EXPECT_EQ(c.completed ? 1u : 0u, app.GetProfileInt("", "Completed", 7));
        EXPECT_EQ(c.code != 0, ErrorPageRequested());
    }
}

// Finish starts the product, or reports why it cannot, and cleans up
// either way.
TEST_F(CompletionTest, FinishStartsTheProductOrReportsWhyAndStillCleansUp)
{
    std::string programs = folder.File("Program Files");
    std::string product = programs + "\\Zembrio\\Zembrio", exe = product + "\\ZembrioMain.exe";
    const struct {
        std::vector<std::string> folders;
        const char* error;
    } cases[] = {
        {{}, "cantlaunchzembrio4"},
        {{programs + "\\Zembrio"}, "cantlaunchzembrio3"},
        {{programs + "\\Zembrio", product}, "cantlaunchzembrio2"},
        // There, but no program: a folder of that name.
        {{programs + "\\Zembrio", product, exe}, "cantlaunchzembrio1"},
        // There, under a path with a space: started by its quoted path, or a
        // "Program.exe" beside Program Files would run in its place.
        {{}, nullptr},
    };
    ASSERT_TRUE(CreateDirectoryA(programs.c_str(), nullptr));
    app.m_astrShellFolder[FolderProgramFiles] = programs;
    // The Vista clean-up purges the working folder itself.
    frame->m_nSystemType = WindowsVista;
    app.m_strTempPath = folder.File("work");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error ? c.error : "started");
        for (const std::string& f : c.folders)
            CreateDirectoryA(f.c_str(), nullptr);
        if (!c.error) {
            const char standin[] = ZEMBRIO_STANDIN_DIR "/zembriomain_standin.exe";
            ASSERT_TRUE(RemoveDirectoryA(exe.c_str()));
            ASSERT_TRUE(CopyFileA(standin, exe.c_str(), FALSE));
            ASSERT_TRUE(CopyFileA(standin, folder.File("Program.exe").c_str(), FALSE));
        }
        CreateDirectoryA(app.m_strTempPath.c_str(), nullptr);
        ASSERT_TRUE(WriteTextFile(app.m_strTempPath + "\\setupm.exe", "MZ"));
        frame->m_bFailed = false;
        SendMessageA(frame->m_hWnd, WM_COMMAND, MAKEWPARAM(ID_FINISH, BN_CLICKED), 0);
        if (c.error) {
            EXPECT_EQ(std::string("Error=general,") + c.error, LogLines().back());
        } else {
            std::string ran = product + "\\ran.txt";
            for (int i = 0; i < 100 && !FileExists(ran); i++)
                Sleep(100);
            EXPECT_NE(std::string::npos, ReadTextFile(ran).find("\"" + exe + "\""));
            EXPECT_FALSE(FileExists(folder.File("ran.txt")));
        }
        EXPECT_FALSE(FileExists(app.m_strTempPath + "\\setupm.exe"));
        // The quit first: a peek for the error page would take it too.
        MSG quit;
        EXPECT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
        EXPECT_EQ(!!c.error, ErrorPageRequested());
    }
}

#include <gtest/gtest.h>
#include "framework/File.h"
#include "support/TestSupport.h"

// Positions past 4 GiB, and ones whose low half looks like the error value,
// are reached and reported; a bad position throws with the system's error.
// Each step runs on the same ten-byte file, after the previous one.
TEST(FileTest, SeekUsesAllSixtyFourBitsAndThrowsOnlyOnRealFailures)
{
    ScratchFolder folder;
    std::string path = folder.File("ten.bin");
    ASSERT_TRUE(WriteTextFile(path, "0123456789"));
    CFile file;
    ASSERT_TRUE(file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone));

    const LONGLONG kFiveGiB = 5LL << 30;
    struct Step {
        LONGLONG offset;
        UINT from;
        LONGLONG position; // -1: throws
        DWORD error;
    } steps[] = {
        {0, CFile::end, 10, 0},
        {kFiveGiB + 7, CFile::begin, kFiveGiB + 7, 0},
        {0, CFile::current, kFiveGiB + 7, 0},
        {-7, CFile::current, kFiveGiB, 0},
        {0x1FFFFFFFFLL, CFile::begin, 0x1FFFFFFFFLL, 0},
        {0xFFFFFFFFLL, CFile::begin, 0xFFFFFFFFLL, 0},
        {-3, CFile::end, 7, 0},
        {-1, CFile::begin, -1, ERROR_NEGATIVE_SEEK},
        {-8, CFile::current, -1, ERROR_NEGATIVE_SEEK},
        {0, CFile::current, 7, 0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "offset " << step.offset << " from " << step.from);
        // A stale error code must not turn a valid position into a failure.
        SetLastError(ERROR_ACCESS_DENIED);
        if (step.position < 0) {
            try {
                file.Seek(step.offset, step.from);
                ADD_FAILURE() << "no exception";
            } catch (const CFileException& e) {
                EXPECT_EQ(step.error, e.m_lOsError);
            }
        } else {
            EXPECT_EQ((ULONGLONG)step.position, file.Seek(step.offset, step.from));
        }
    }
    EXPECT_EQ(10u, file.SeekToEnd());

    file.Close();
    EXPECT_THROW(file.Seek(0, CFile::begin), CFileException);
}

// The same size and attributes where kernel32 has no GetFileAttributesExA
// (the first Windows 95) as where it has: past 4 GiB, for a folder; nothing
// for a missing name or for a pattern, even one that matches a file.
TEST(FileTest, StatusIsTheSameWithOrWithoutTheAttributesQuery)
{
    ScratchFolder folder;
    ASSERT_TRUE(WriteTextFile(folder.File("ten.bin"), "0123456789"));
    HANDLE big = CreateFileA(folder.File("big.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, big);
    LONG high = 1;
    SetFilePointer(big, 7, &high, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(big));
    CloseHandle(big);

    struct Case {
        std::string path;
        BOOL found;
        ULONGLONG size;
        bool folder;
    } cases[] = {
        {folder.File("ten.bin"), TRUE, 10, false},
        {folder.File("big.bin"), TRUE, (1ULL << 32) + 7, false},
        {folder.Path(), TRUE, 0, true},
        {folder.File("none.bin"), FALSE, 0, false},
        {folder.File("te?.bin"), FALSE, 0, false},
        {folder.File("*"), FALSE, 0, false},
    };
    auto query = g_pfnGetFileAttributesEx;
    ASSERT_NE(nullptr, query);
    ScopedSeam<decltype(query)> restore(g_pfnGetFileAttributesEx, query);
    for (auto lookup : {query, decltype(query)(nullptr)}) {
        g_pfnGetFileAttributesEx = lookup;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.path + (lookup ? " with" : " without") + " GetFileAttributesExA");
            CFileStatus status;
            BOOL found = CFile::GetStatus(c.path.c_str(), status);
            EXPECT_EQ(c.found, found);
            if (!found || !c.found)
                continue;
            EXPECT_EQ(c.folder, (status.m_attribute & FILE_ATTRIBUTE_DIRECTORY) != 0);
            if (!c.folder) {
                EXPECT_EQ(c.size, status.m_size);
            }
        }
    }
}

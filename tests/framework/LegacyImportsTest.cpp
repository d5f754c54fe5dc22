#include <gtest/gtest.h>
#include <clocale>
#include <set>
#include <string>
#include "framework/LegacyImports.h"

TEST(LegacyImportsTest, SemaphoresKeepTheirCountsAndAnsiNames)
{
    // Unnamed, as the thread support asks: one count taken, at most two.
    HANDLE unnamed = AnsiCreateSemaphoreW(nullptr, 1, 2, nullptr);
    ASSERT_NE(nullptr, unnamed);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(unnamed, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(unnamed, 0));
    EXPECT_FALSE(ReleaseSemaphore(unnamed, 3, nullptr));
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(unnamed, 2, &previous));
    EXPECT_EQ(0, previous);
    CloseHandle(unnamed);

    // A name reaches the system as the same ANSI text.
    std::string ansi = "ZembrioLegacyImports-" + std::to_string(GetCurrentProcessId());
    std::wstring wide(ansi.begin(), ansi.end());
    HANDLE named = AnsiCreateSemaphoreW(nullptr, 0, 1, wide.c_str());
    ASSERT_NE(nullptr, named);
    HANDLE opened = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, ansi.c_str());
    EXPECT_NE(nullptr, opened);
    HANDLE again = AnsiCreateSemaphoreW(nullptr, 0, 1, wide.c_str());
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    for (HANDLE h : {named, opened, again})
        if (h)
            CloseHandle(h);

    struct {
        const wchar_t* what;
        std::wstring name;
        DWORD error; // 0: any failure
    } refused[] = {
        // U+10400 has no ANSI form; "?" would name some other semaphore.
        {L"unrepresentable", L"Zembrio\xD801\xDC00", ERROR_NO_UNICODE_TRANSLATION},
        {L"too long", std::wstring(MAX_PATH + 10, L'z'), 0},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(testing::Message() << c.what);
        SetLastError(NO_ERROR);
        HANDLE h = AnsiCreateSemaphoreW(nullptr, 0, 1, c.name.c_str());
        EXPECT_EQ(nullptr, h);
        if (h)
            CloseHandle(h);
        if (c.error)
            EXPECT_EQ(c.error, GetLastError());
        else
            EXPECT_NE((DWORD)NO_ERROR, GetLastError());
    }
}

TEST(LegacyImportsTest, RandSFillsFromTheSystemGeneratorAndRefusesNull)
{
    std::set<unsigned int> seen;
    for (int i = 0; i < 16; i++) {
        unsigned int value = 0;
        ASSERT_EQ(0, SystemRandS(&value));
        seen.insert(value);
    }
    EXPECT_GT(seen.size(), 8u);
    EXPECT_EQ(EINVAL, SystemRandS(nullptr));
}

TEST(LegacyImportsTest, CodePageFollowsTheRuntimeLocale)
{
    ASSERT_NE(nullptr, setlocale(LC_CTYPE, ".1252"));
    EXPECT_EQ(1252u, CrtCodePage());
    ASSERT_NE(nullptr, setlocale(LC_CTYPE, "C"));
    EXPECT_EQ(0u, CrtCodePage());
}

#include <gtest/gtest.h>
#include <string>
#include "framework/Text.h"

TEST(FormatTest, WholeResultAtEveryLengthAroundTheBufferSteps)
{
    // The buffer starts at 256 bytes and doubles until the result fits:
    // results on either side of each step come whole.
    for (size_t n : {0u, 1u, 254u, 255u, 256u, 257u, 511u, 512u, 513u, 70000u}) {
        std::string body;
        for (size_t i = 0; i < n; ++i)
            body += (char)('a' + i % 26);
        EXPECT_EQ("<" + body + ">", Format("<%s>", body.c_str())) << n;
        EXPECT_EQ(body, Format("%s", body.c_str())) << n;
    }
}

TEST(FormatTest, TheDirectivesTheInstallerUses)
{
    EXPECT_EQ("ItemURL3", Format("ItemURL%d", 3));
    EXPECT_EQ("-12", Format("%d", -12));
    EXPECT_EQ(" 7%", Format("%2u%%", 7u));
    EXPECT_EQ("100%", Format("%2u%%", 100u));
    EXPECT_EQ("launchwaittimedoutorfailedFFFFFFFF", Format("launchwaittimedoutorfailed%X", 0xFFFFFFFFu));
    EXPECT_EQ("2.0.50727.42", Format("%d.%d.%d.%d", 2, 0, 50727, 42));
    EXPECT_EQ("a,,4294967295", Format("%s,%s,%lu", "a", "", 4294967295ul));
}

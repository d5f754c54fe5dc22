#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>
#include <algorithm>
#include "identity/UserIdFinder.h"
#include "support/TestSupport.h"

namespace {

std::vector<std::string> Tokens(const char* text, const char* delimiters)
{
    CTokenList list(text, delimiters);
    std::vector<std::string> out;
    for (int i = 0; i < list.GetCount(); i++)
        out.push_back(list.GetAt(i));
    return out;
}

// A cookie-file line in the browsers' tab-separated format.
std::string Line(const std::string& domain, const std::string& name, const std::string& value)
{
    return domain + "\tFALSE\t/\tFALSE\t4102444800\t" + name + "\t" + value + "\n";
}

class FinderTest : public ::testing::Test {
protected:
    std::string Root(ProfileBrowser b) { return scratch.Path() + (b == Firefox ? "\\Mozilla\\Firefox" : "\\Netscape\\NSB"); }
    void Ini(ProfileBrowser b, const std::string& text)
    {
        MakeFolders(Root(b));
        WriteTextFile(Root(b) + "\\profiles.ini", text);
    }
    // A profile folder below the root's Profiles folder with the given cookie files.
    std::string Profile(ProfileBrowser b, const std::string& name, std::vector<std::pair<std::string, std::string>> files)
    {
        std::string folder = Root(b) + "\\Profiles\\" + name;
        MakeFolders(folder);
        for (auto& f : files)
            WriteTextFile(folder + "\\" + f.first, f.second);
        return folder;
    }
    ScratchFolder scratch;
    CUserIdFinder finder{scratch.Path()};
};

} // namespace

TEST(TokenTest, SplitsLikeStrtokEachListAtItsOwnPosition)
{
    EXPECT_EQ((std::vector<std::string>{"a", "b c", "d"}), Tokens(";;a;b c;;d;", ";"));
    EXPECT_EQ((std::vector<std::string>{"x", "y"}), Tokens("x\t\ty", "\t"));
    EXPECT_TRUE(Tokens("", ";").empty());
    EXPECT_TRUE(Tokens(";;;", ";").empty());
    CTokenList list("a^b", "^");
    EXPECT_EQ(nullptr, list.GetAt(-1));
    EXPECT_EQ(nullptr, list.GetAt(2));
    EXPECT_EQ("", FirstToken("", "&"));
    EXPECT_EQ("c=userId", FirstToken("c=userId&x", "&"));
    EXPECT_EQ("127.0.0.1", LastToken("http://127.0.0.1", "/"));
    EXPECT_EQ("", LastToken("///", "/"));
    // Splitting inside a loop over another list does not disturb it (a
    // shared strtok position would).
    CTokenList outer("a:1&b:2;c:3&d:4", ";");
    std::vector<std::string> seen;
    for (int i = 0; i < outer.GetCount(); i++) {
        CTokenList inner(outer.GetAt(i), "&");
        seen.push_back(LastToken(inner.GetAt(0), ":"));
    }
    EXPECT_EQ((std::vector<std::string>{"1", "3"}), seen);
}

TEST(ExtractTest, TakesThePartAfterTheLastColonBeforeTheFirstAmpersand)
{
    CUserIdFinder finder("");
    EXPECT_EQ("123", finder.ExtractUserIdValue("c=userId:123&x:1"));
    EXPECT_EQ("123", finder.ExtractUserIdValue("c=userId:123"));
    EXPECT_EQ(" userId=42", finder.ExtractUserIdValue(" userId=42"));
    EXPECT_EQ("1", finder.ExtractUserIdValue("&userId:1"));
    EXPECT_EQ("", finder.ExtractUserIdValue("&&"));
    std::string id = "stale";
    EXPECT_TRUE(finder.UserIdFromRecord("127.0.0.1^zembrio^userId:42&v:1;expires = Thu, 31-Dec-2099 23:59:59 GMT", id));
    EXPECT_EQ("42", id);
    EXPECT_FALSE(finder.UserIdFromRecord("127.0.0.1^zembrio^", id));
    EXPECT_FALSE(finder.UserIdFromRecord("", id));
}

TEST(IeCookieTest, ReadsTheFirstTokenNamingUserId)
{
    // Session cookies of this process, each on its own host.
    CUserIdFinder finder("");
    std::string id;
    ASSERT_TRUE(InternetSetCookieA("http://ie1.test/", "a", "1"));
    ASSERT_TRUE(InternetSetCookieA("http://ie1.test/", "c", "userId:42&s:7"));
    // The site address carries no path.
    EXPECT_TRUE(finder.ReadIeUserId("http://ie1.test", id));
    EXPECT_EQ("42", id);

    ASSERT_TRUE(InternetSetCookieA("http://ie2.test/", "a", "1"));
    ASSERT_TRUE(InternetSetCookieA("http://ie2.test/", "userId", "42"));
    EXPECT_TRUE(finder.ReadIeUserId("http://ie2.test", id));
    EXPECT_EQ(" userId=42", id);

    ASSERT_TRUE(InternetSetCookieA("http://ie3.test/", "c", "userid:42"));
    EXPECT_FALSE(finder.ReadIeUserId("http://ie3.test", id));
    EXPECT_EQ("", id);
    EXPECT_FALSE(finder.ReadIeUserId("http://ie-none.test", id));

    // More than the 1,024-byte buffer holds counts as no cookie.
    ASSERT_TRUE(InternetSetCookieA("http://ie4.test/", "c", ("userId:9&" + std::string(1100, 'x')).c_str()));
    EXPECT_FALSE(finder.ReadIeUserId("http://ie4.test", id));
}

// Which profile's cookie files each profiles.ini leads to; none: false.
TEST_F(FinderTest, ProfileChoiceAndPathRules)
{
    const std::string abs = scratch.File("elsewhere"), ff = Root(Firefox) + "\\Profiles\\";
    MakeFolders(abs);
    WriteTextFile(abs + "\\cookies.txt", "x");
    Profile(Firefox, "abc.default", {{"cookies.txt", "x"}, {"cookies-old.txt", "y"}, {"other.txt", "z"}});
    Profile(Firefox, "other", {{"cookies.txt", "x"}});
    Profile(Firefox, "only", {{"cookies.txt", "x"}});
    Profile(Firefox, "empty", {{"prefs.js", "x"}});
    Profile(Netscape, "home", {{"cookies.txt", "x"}});
    const std::string work = Profile(Netscape, "work", {{"cookies.txt", "x"}});
    const struct {
        ProfileBrowser browser;
        std::string ini;
        std::vector<std::string> files;
    } cases[] = {
        // Firefox takes the second section whatever its Default says.
        {Firefox, "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=default\nIsRelative=1\nPath=Profiles/abc.default\n\n"
                  "[Profile1]\nName=other\nIsRelative=1\nPath=Profiles/other\nDefault=1\n",
         {ff + "abc.default\\cookies-old.txt", ff + "abc.default\\cookies.txt"}},
        // A single section needs Default exactly 1.
        {Firefox, "[Profile0]\nIsRelative=1\nPath=only\nDefault=yes\n", {}},
        {Firefox, "[Profile0]\nIsRelative=1\nPath=only\nDefault=1\n", {ff + "only\\cookies.txt"}},
        {Firefox, "[Profile0]\nIsRelative=0\nDefault=1\nPath=" + abs + "\n", {abs + "\\cookies.txt"}},
        {Firefox, "[Profile0]\nDefault=1\nPath=" + abs + "\n", {}},
        {Firefox, "[Profile0]\nIsRelative=yes\nDefault=1\nPath=" + abs + "\n", {}},
        {Firefox, "[Profile0]\nIsRelative=1\nDefault=1\nPath=empty\n", {}},   // no cookie files
        {Netscape, "[General]\nSelectedProfile=Work\n\n[Profile0]\nName=home\nIsRelative=1\nPath=p/home\n\n"
                   "[Profile1]\nName=work\nIsRelative=1\nPath=p/work\n", {work + "\\cookies.txt"}},
    };
    for (const auto& c : cases) {
        Ini(c.browser, c.ini);
        std::vector<std::string> files;
        EXPECT_EQ(!c.files.empty(), finder.FindCookieFiles(c.browser, files)) << c.ini;
        std::sort(files.begin(), files.end());
        if (!c.files.empty()) {
            EXPECT_EQ(c.files, files) << c.ini;
        }
    }
}

TEST_F(FinderTest, RecordsFromMatchingLinesOnceEach)
{
    std::string folder = Profile(Firefox, "p", {});
    std::string a = folder + "\\cookies.txt", b = folder + "\\cookies2.txt";
    WriteTextFile(a, "# Netscape HTTP Cookie File\n" + Line(".127.0.0.1", "zembrio", "userId:42&v:1") +
                         Line("127.0.0.1", "zembrio", "nothing here") +     // no "userid"
                         Line("other.example", "zembrio", "userId:1") +      // other host
                         "127.0.0.1\tFALSE\t/\tFALSE\t4102444800\tZEMBRIO_userid\n" + // six fields
                         Line("127.0.0.1", "x", "zembrio&userId:7"));
    WriteTextFile(b, Line(".127.0.0.1", "zembrio", "userId:42&v:1") + Line(".127.0.0.1", "ZEMBRIO", "USERID:42&V:1"));
    std::vector<std::string> records = {"127.0.0.1^x^zembrio&userId:7;expires = Thu, 31-Dec-2099 23:59:59 GMT"};
    ASSERT_TRUE(finder.CollectCookieRecords({scratch.File("missing.txt"), a, b}, "  http://127.0.0.1 \t", records));
    std::string expiry = ";expires = Thu, 31-Dec-2099 23:59:59 GMT";
    EXPECT_EQ((std::vector<std::string>{"127.0.0.1^x^zembrio&userId:7" + expiry, "127.0.0.1^zembrio^userId:42&v:1" + expiry,
                                        "127.0.0.1^ZEMBRIO_userid^"}),
              records);
    EXPECT_FALSE(finder.CollectCookieRecords({a}, "   ", records));
}

TEST_F(FinderTest, FindUserIdReadsFirefoxElseNetscape)
{
    // Netscape alone: its id is found.
    Ini(Netscape, "[Profile0]\nIsRelative=1\nPath=ns\nDefault=1\n");
    Profile(Netscape, "ns", {{"cookies.txt", Line("127.0.0.1", "zembrio", "userId:77&v:1")}});
    std::string id = "stale";
    EXPECT_TRUE(finder.FindUserId(id));
    EXPECT_EQ("77", id);

    // A Firefox profile without cookie files still leaves Netscape in play.
    Ini(Firefox, "[Profile0]\nIsRelative=1\nPath=ff\nDefault=1\n");
    Profile(Firefox, "ff", {});
    EXPECT_TRUE(finder.FindUserId(id));
    EXPECT_EQ("77", id);

    // The first record without a value is passed over for the next one.
    Profile(Firefox, "ff", {{"cookies.txt", "127.0.0.1\tFALSE\t/\tFALSE\t1\tzembrio-userid\n" +
                                                Line("127.0.0.1", "zembrio", "userId:55&v:1")}});
    EXPECT_TRUE(finder.FindUserId(id));
    EXPECT_EQ("55", id);

    // Firefox cookie files without a match end the search.
    Profile(Firefox, "ff", {{"cookies.txt", Line("127.0.0.1", "other", "session:1")}});
    EXPECT_FALSE(finder.FindUserId(id));
    EXPECT_EQ("", id);
}

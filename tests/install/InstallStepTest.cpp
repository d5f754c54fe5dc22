#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>
#include "install/InstallStep.h"
#include "support/TestSupport.h"
#include "ReleaseKeys.h"

namespace {

// ---- the folder's security descriptor ------------------------------------------

PSID WellKnown(DWORD count, DWORD first, DWORD second = 0)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    AllocateAndInitializeSid(&nt, (BYTE)count, first, second, 0, 0, 0, 0, 0, 0, &sid);
    return sid;
}

// Wine keeps no access lists on files, so what is held here is the
// descriptor the step hands to CreateDirectory, not what Wine reports back.
TEST(InstallFolderDescriptor, AdministratorsWriteUsersOnlyReadNothingInherited)
{
    PSECURITY_DESCRIPTOR descriptor = MakeInstallFolderDescriptor();
    ASSERT_NE(nullptr, descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PRESENT);
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the Temp folder's entries would be inherited";
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl) << "a null list would let everyone in";
    ACL_SIZE_INFORMATION size = {};
    ASSERT_TRUE(GetAclInformation(dacl, &size, sizeof size, AclSizeInformation));

    const struct {
        PSID sid;
        DWORD mask;
    } expected[] = {
        {WellKnown(1, SECURITY_LOCAL_SYSTEM_RID), FILE_ALL_ACCESS},
        {WellKnown(2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS), FILE_ALL_ACCESS},
        // Read, list, execute, synchronize: the window reads the markers,
        // nobody but an administrator adds, changes or removes a thing.
        {WellKnown(2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS),
         FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},
    };
    ASSERT_EQ(3u, size.AceCount);
    for (DWORD i = 0; i < size.AceCount; i++) {
        SCOPED_TRACE(i);
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, (void**)&ace));
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
        // Every marker and copy made inside takes the same list.
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, ace->Header.AceFlags);
        EXPECT_EQ(expected[i].mask, ace->Mask);
        EXPECT_TRUE(EqualSid(expected[i].sid, (PSID)&ace->SidStart));
        FreeSid(expected[i].sid);
    }
    LocalFree(descriptor);
}

// ---- the command line ----------------------------------------------------------

TEST(InstallStepCommand, RoundTripsAndRefusesWhatTheWindowNeverWrites)
{
    InstallStepRequest request;
    request.workingFolder = "C:\\Users\\Smith, John\\AppData\\Local\\Temp\\Zembrio";
    request.folderName = NewInstallFolderName();
    request.serial = 4294967295u;
    request.dotNet = true;
    request.setup = "setupm.exe";
    ASSERT_EQ(24u, request.folderName.size());
    EXPECT_NE(request.folderName, NewInstallFolderName());
    std::string line = FormatInstallStep(request);
    InstallStepRequest parsed;
    ASSERT_TRUE(ParseInstallStep(line.c_str(), parsed)) << line;
    // Every field comes back: the line it makes again is the same.
    EXPECT_EQ(line, FormatInstallStep(parsed));
    EXPECT_TRUE(parsed.dotNet);

    const std::string folder = "-installstep \"C:\\T\\Zembrio\" ";
    const std::string refused[] = {
        "", "-installstep", "-installstep \"", "/uninstall",
        folder + "Zembrio-0123456789abcdef 7",                       // no set-up
        "-installstep \"..\\T\" Zembrio-0123456789abcdef 7 setup.exe",   // not a drive's path
        "-installstep C:\\T Zembrio-0123456789abcdef 7 setup.exe",       // unquoted
        "-installstep \"C:\\T\r\n\" Zembrio-0123456789abcdef 7 setup.exe",
        folder + "..\\..\\System32 7 setup.exe",                   // a name that walks out of Temp
        folder + "Zembrio-0123456789ABCDEF 7 setup.exe",           // not the one form
        folder + "Zembrio-0123456789abcde 7 setup.exe",
        folder + "Zembrio-0123456789abcdef 4294967296 setup.exe",  // beyond a serial
        folder + "Zembrio-0123456789abcdef -1 setup.exe",
        folder + "Zembrio-0123456789abcdef 007 setup.exe",
        folder + "Zembrio-0123456789abcdef 7 cmd.exe",             // not a program it runs
        folder + "Zembrio-0123456789abcdef 7 ..\\setup.exe",
        folder + "Zembrio-0123456789abcdef 7 SETUP.EXE",
        folder + "Zembrio-0123456789abcdef 7 setup.exe dotnetfx.exe",   // the set-up goes last
        folder + "Zembrio-0123456789abcdef 7 setup.exe setupm.exe",
        folder + "Zembrio-0123456789abcdef 7 dotnetfx.exe",
        folder + "Zembrio-0123456789abcdef 7 dotnetfx.exe dotnetfx.exe setup.exe",
        folder + "Zembrio-0123456789abcdef 7  setup.exe",
        folder + "Zembrio-0123456789abcdef 7 setup.exe ",
    };
    for (const std::string& text : refused)
        EXPECT_FALSE(ParseInstallStep(text.c_str(), parsed)) << text;
    EXPECT_TRUE(ParseInstallStep((folder + "Zembrio-0123456789abcdef 7 setup.exe").c_str(), parsed));
    EXPECT_FALSE(parsed.dotNet);
    EXPECT_STREQ("setup.exe", parsed.setup);
}

// ---- the step ------------------------------------------------------------------

// The step run in the test's process, on a working folder made from the
// signed test release (the helper's stand-in, and the main application's as
// a set-up that leaves ran.txt beside itself), inside a parent folder of the
// test's rather than the Windows folder's Temp.
class InstallStepTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : {"installhelper.exe", "setup.exe", "release.txt"})
            ASSERT_TRUE(CopyFileA((std::string(kFixture) + "/" + name).c_str(), work.File(name).c_str(), FALSE));
        request.workingFolder = work.Path();
        request.folderName = NewInstallFolderName();
        request.serial = ZEMBRIO_STANDIN_RELEASE_SERIAL;
        SetEnvironmentVariableA("ZEMBRIO_HELPER_RECORD", work.File("record.txt").c_str());
        DeleteFileA(work.File("record.txt").c_str());
        keys.clear();
        for (const auto& key : kReleaseKeys)
            keys.push_back({key.modulus, key.length});
    }
    void TearDown() override
    {
        SetEnvironmentVariableA("ZEMBRIO_HELPER_RECORD", nullptr);
        SetEnvironmentVariableA("ZEMBRIO_HELPER_MODE", nullptr);
    }
    DWORD Run() { return RunInstallStep(request, parent.Path(), keys.data(), keys.size(), 1); }
    std::string Folder() const { return parent.File(request.folderName); }

    static constexpr const char* kFixture = ZEMBRIO_STANDIN_DIR "/installstep";
    ScratchFolder work, parent;
    InstallStepRequest request;
    std::vector<ReleaseKey> keys;
};

DWORD Outcome(InstallStepOutcome outcome, std::initializer_list<int> markers = {})
{
    DWORD code = kInstallStepCode | outcome;
    for (int i : markers)
        code |= 1u << (8 + i);
    return code;
}

TEST_F(InstallStepTest, HelperRunsFromTheNewFolderOnlyIfEveryByteIsTheRelease)
{
    EXPECT_EQ(Outcome(StepHelperEnded, {3, 4}), Run());   // set-up started, succeeded
    // Its own path and current folder are the new folder's, never the
    // working folder, where a planted library would be found first.
    EXPECT_EQ(Folder() + "\\installhelper.exe|" + Folder() + "\r\n", ReadTextFile(work.File("record.txt")));
    EXPECT_FALSE(FileExists(Folder()));
    EXPECT_FALSE(FileExists(work.File("ran.txt")));
    // Everything the visitor downloaded is still there.
    EXPECT_TRUE(FileExists(work.File("setup.exe")));
    EXPECT_TRUE(FileExists(work.File("installhelper.exe")));

    // One bit of the middle byte flipped, which always changes it (the
    // signed text differs from build to build), or one byte more.
    auto alter = [this](const char* name, bool append) {
        return [this, name, append] {
            std::string bytes = ReadTextFile(work.File(name));
            if (append)
                bytes += 'Z';
            else
                bytes[bytes.size() / 2] ^= 1;
            ASSERT_TRUE(WriteTextFile(work.File(name), bytes));
        };
    };
    const struct {
        const char* what;
        std::function<void()> change;
        DWORD outcome;
    } cases[] = {
        {"a byte of the set-up", alter("setup.exe", false), Outcome(StepComponentChanged)},
        {"the set-up one byte longer", alter("setup.exe", true), Outcome(StepComponentChanged)},
        {"the helper replaced", [this] { CopyFileA(work.File("setup.exe").c_str(), work.File("installhelper.exe").c_str(), FALSE); },
         Outcome(StepComponentChanged)},
        {"the set-up missing", [this] { DeleteFileA(work.File("setup.exe").c_str()); }, Outcome(StepComponentChanged)},
        {"the release's text", alter("release.txt", false), Outcome(StepReleaseChanged)},
        {"release.txt missing", [this] { DeleteFileA(work.File("release.txt").c_str()); }, Outcome(StepReleaseChanged)},
        // An older release, signed but not the one the window accepted.
        {"a newer one accepted", [this] { request.serial++; }, Outcome(StepReleaseChanged)},
        {"a program the release lacks", [this] { request.dotNet = true; },
         Outcome(StepReleaseChanged)},
        {"a folder of that name already there",
         [this] { ASSERT_TRUE(CreateDirectoryA(Folder().c_str(), nullptr)); WriteTextFile(Folder() + "\\theirs", "x"); },
         Outcome(StepCantMakeFolder)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        c.change();
        EXPECT_EQ(c.outcome, Run());
        EXPECT_FALSE(FileExists(work.File("record.txt"))) << "the helper ran";
        // Someone else's folder is left as it is; the step's own is removed.
        EXPECT_EQ(c.outcome == Outcome(StepCantMakeFolder), FileExists(Folder() + "\\theirs"));
        if (c.outcome != Outcome(StepCantMakeFolder)) {
            EXPECT_FALSE(FileExists(Folder()));
        }
        int category = 0;
        EXPECT_NE(nullptr, InstallStepError(c.outcome, category));
        DeleteTree(Folder());
    }
}

TEST_F(InstallStepTest, HelperStillRunningAtTheLimitKeepsItsFolder)
{
    SetEnvironmentVariableA("ZEMBRIO_HELPER_MODE", "stall");
    SetEnvironmentVariableA("ZEMBRIO_HELPER_STALL_SECONDS", "4");
    DWORD code;
    {
        ScopedSeam<DWORD> limit(g_dwInstallStepHelperLimit, 1000);
        code = Run();
    }
    SetEnvironmentVariableA("ZEMBRIO_HELPER_STALL_SECONDS", nullptr);
    EXPECT_EQ(Outcome(StepHelperStillRunning, {3}), code);
    EXPECT_TRUE(FileExists(Folder() + "\\setup.exe")) << "removed under a helper that may still start it";
    int category = 0;
    EXPECT_EQ(nullptr, InstallStepError(code, category));
    Sleep(4500);
    DeleteTree(Folder());
}

}   // namespace

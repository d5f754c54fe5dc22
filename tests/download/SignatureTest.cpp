#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>
#include "download/DownloadList.h"
#include "download/Signature.h"
#include "ServerFixture.h"
#include "support/TestSupport.h"

namespace {

std::string Hex(const Sha256Digest& digest)
{
    std::string text;
    char byte[3];
    for (uint8_t b : digest.bytes) {
        wsprintfA(byte, "%02x", b);
        text += byte;
    }
    return text;
}

TEST(Sha256, KnownAnswersAcrossTheBlockBoundaries)
{
    // 55, 56 and 64 bytes put the length in the first block, push it into a
    // second one, and fill a whole block before the padding.
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.digest, Hex(Sha256(c.input.data(), c.input.size()))) << c.input.size() << " bytes";
}

TEST(SignerPins, OnlyWholeLowerCaseDigestsSeparatedBySemicolons)
{
    const std::string a(64, 'a'), b = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    std::vector<Sha256Digest> pins;
    ASSERT_TRUE(ParseSignerPins((a + ";" + b).c_str(), pins));
    ASSERT_EQ(2u, pins.size());
    EXPECT_EQ(a, Hex(pins[0]));
    EXPECT_EQ(b, Hex(pins[1]));
    EXPECT_TRUE(ParseSignerPins("", pins));
    EXPECT_TRUE(pins.empty());
    const std::string bad[] = {a.substr(1), a + "a", a + ";", ";" + a, a + ";;" + b, a + " " + b,
                               std::string(63, 'a') + "A", std::string(63, 'a') + "g", a + ",b"};
    for (const std::string& text : bad)
        EXPECT_FALSE(ParseSignerPins(text.c_str(), pins)) << text;
}

// The test build trusts the key it generated; its certificate's key info,
// as the installer finds it, must hash to the pin openssl printed.
std::vector<BYTE> TestCertificate()
{
    std::string pem = ReadTextFile(ZEMBRIO_SIGNING_DIR "\\test.crt");
    size_t begin = pem.find("-----\n"), end = pem.find("-----END");
    std::string base64 = begin < end && end != std::string::npos ? pem.substr(begin + 6, end - begin - 6) : "";
    std::vector<BYTE> der;
    int bits = 0, value = 0;
    for (char c : base64) {
        const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char* at = c ? strchr(digits, c) : nullptr;
        if (!at)
            continue;
        value = value << 6 | (int)(at - digits);
        if ((bits += 6) >= 8)
            der.push_back((BYTE)(value >> (bits -= 8)));
    }
    return der;
}

TEST(SignerPins, CertificateKeyInfoHashesToTheBuildsPin)
{
    std::vector<BYTE> der = TestCertificate();
    ASSERT_GT(der.size(), 300u);
    const BYTE* info = nullptr;
    DWORD length = 0;
    ASSERT_TRUE(CertificatePublicKeyInfo(der.data(), (DWORD)der.size(), info, length));
    ASSERT_EQ(1u, TrustedSigners().size());
    EXPECT_EQ(Hex(TrustedSigners()[0]), Hex(Sha256(info, length)));

    // Cut anywhere, or with a length that runs past the end, the
    // certificate yields nothing, and nothing is read beyond it.
    for (DWORD cut = 0; cut < der.size(); cut += 7) {
        std::vector<BYTE> head(der.begin(), der.begin() + cut);
        EXPECT_FALSE(CertificatePublicKeyInfo(head.data(), cut, info, length)) << cut;
    }
    std::vector<BYTE> overlong = der;
    overlong[1] = 0x84;   // a four-byte length where two stood
    EXPECT_FALSE(CertificatePublicKeyInfo(overlong.data(), (DWORD)overlong.size(), info, length));
}

} // namespace

namespace {

// Wine's certificate chain engine opens the system stores through HKCU and
// HKLM on first use and keeps them for the process. Tests redirect both to
// sandboxes that they delete, so the first verification happens here, in
// the real registry, before any test runs.
class RealRegistryChainEngine : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::string path = TestEnv("ZEMBRIO_TEST_COMPONENTS") + "\\components\\installhelper.exe";
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file) << path;
        std::string detail;
        EXPECT_EQ(SignatureTrusted, CheckPublisherSignature(file, path, TrustedSigners(), detail)) << detail;
        CloseHandle(file);
    }
};

::testing::Environment* const g_chainEngine = ::testing::AddGlobalTestEnvironment(new RealRegistryChainEngine);

} // namespace

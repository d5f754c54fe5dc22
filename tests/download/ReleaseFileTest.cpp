#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>
#include "download/ReleaseFile.h"
#include "download/Rsa.h"
#include "download/Sha256.h"

namespace {

// Fixed vectors, made once with openssl: moduli of keys of 2048 (A), 2072
// (E, whose top limb is partly filled), 3072 (C) and 4096 bits (D), and
// signatures of kBody by A, C, D and E. Only the public halves were kept.
// A's kNoNullParameters to kBlockType2 are its raw private operation on
// blocks that are PKCS #1 v1.5 for kBody's digest but for one fault each.
const char kBody[] =
    "zembrio-release 1\n"
    "serial 7\n"
    "file ZembrioCore.exe 11 96f831e00e5938a058d7be917219a4a0c9f9311b2e680b3d6d0aa0d5ae7a451c\n"
    "channel beta\n"
    "file Runtime.dll 8 fae9d8f386d67956867dedef7c89476199a4a25ee9ffe13560a6bfae7ae6c407\n";

const char kModulusA[] =
    "b345d162839fbb014f1906611444402011033b6f795303eb3a8f0dc580240b9b60db8d0d5bea3bb8aa7882ab5a437f3f"
    "06377ec49f8bc9e94342a2ce656558231bec9ba2a62a0a60611a6c8fd0ecc1925265a5aa440edc63c5e7ff210c585b9e"
    "ac1a50f068963532eaa0977cb776303a8e7bcbae1d7b944f2c123178c0cbc3d1d05f17475b8faa75e948ef77226f4ec6"
    "d662dd0851672a41c3339e63e5b943f1e2e4c62dd7611bb3c20abe773159b4e15c789b0ccecde18a9ebb264f3c054082"
    "3ee557b89792cd5673b5e73b7ad67791a6e1d1dc33c6d6e729f5b45c9adf1aacd065fbdda809d29f8acedf8f0d6bb1cc"
    "49efaa05a2630ede654d9882b4e869d9";
const char kModulusC[] =
    "bdcea5287a0712a74880332e35e3dde495077dec2dc38ac123bdcf7a9f5c44ecf9ad177cf0a15d5d76b4017156e5798a"
    "30a00e0bf829ef778d751ac5961a0d395f7ad085f291e654962e1653c43d7f658d916d73bd50af1af800d10f4bd08954"
    "dc076fc264edb78ea7a68955e7a22a0c4070c020e2d5b20393682372473ff5f22ca94a9ca3e0348c34b294f138f4040f"
    "051bebc87baa1d1e4ab164f61143668837d457200418d32ba78a71e325536627a87ccea4d4ac0cff53191d2478ab68b4"
    "89546b66f70392e079bda447d4527d011d96cec0acc2163cb3051647e4a81211493dcf880b8d2c6ecdf9e40a2d15ad23"
    "e27e03cfc047f038743c332a2c7778d96b4227f912d89f3ae3486f92fa85f03980e98d9645158fb868296b2828219f0b"
    "a032218954941213c97d40639f06cfe433fc2499f99f06744ae7503b776a83c58bccaf0e4c075fb9d4e20603dfbf7e2a"
    "470ad34422185a6c48e8b1fdbe3b1badd8ad197caddbdb27d1d463c943cdba196a7bdc1c7629dced003c6488513715fb";
const char kModulusD[] =
    "eaa937c788dc8a069240be9c4fb6c7107dc6a514ab4f287bee67747b8e6d8d8aa67232c50a44db2ef4b30c1e1a458ef4"
    "2128fe29136915ee68944bacd8e39133601ed24dfb80f3b9f734ca6b70706cdcfcb3b31d0c50c0c2ee5569ef6667652a"
    "f1c222265cf3a4bd4a865afdfa2fbef5d89d1a88994a503b5feff23c47aeb6031957ae7910ed4638735154bf6cade509"
    "85dc28436bcd493065921a15f3a54783d7d14ac99429b3b12e5ca67bd6cfc2b2458a19e7b1265424f4508f2ec4ea634a"
    "9c8f8a0fe9a28b2c4568244199f2956f7dc828acb20f6754aca46e7e4f49c818ab2855d5b10145f79e97bb2860964773"
    "5155623e5595ee503658e8acb88dc002803fc85f4b62fea7f88966bd968ff9b889eb96807c0267adceceba5446c453a2"
    "615effc82c8fdd9b57231fec6fb74a090d5881176123cae466b307325810b2f1e8ad509e133ecf62fac19507cda1bdd8"
    "22f1740edd2013f07eb75a3767ba44cbe2256f946150cdeb65ef6e01a23250528276ca2bf0c903d327456e4ed1a8f3a0"
    "b6bedbb0eb2c21436d4beaf78a343804aa8d28e7efe60b93095e4e6508a8a458bbd2ee5201044b5b0994dbfe7d918489"
    "dd52814364b6c3c754e3db811c4b1d67e44d4fa646aee4a5fcb8950e8ae2b60f424859b37996790d03389dfb40e65457"
    "535274d0cf4797f4971f824c1a0e6bc5f14687f56ccc8aff5418b988de5d3df3";
const char kModulusE[] =
    "e32f903c5062e41fc8ca9b4a2c22800ea5f260767af8141b199005331591beb76e2be008ce48b1b2f30ab786d44a44e7"
    "c50b9f2f8b758ae961e9439fe25a6142e23d881ed4089af2db148f42a7a23b0636965bf20fb5a7227bcd60749f08032f"
    "fbe632762bcd3134e10997936b4f3f8159dba56e5dd9d096ba9ca807349cb0c916f9a99212063cec2638ae8ad7b212d0"
    "a527cc15da99e89af981975947a10b0a7691278131ed343417771563180d6d101634a3c0119b918622bede2b154e90a0"
    "57638a2ca5e57a02deacfe71d3f478e2c8eca112eb4dca492182c757518c278cf8103457ffd1cf91aa448b40ef12c7c7"
    "82c497acc474c4d9391c9021b58c6a1e50b9e3";
const char kSignatureA[] =
    "046b999585d97dbab9c74fd38005d66bd4c92c55dbdf135afa5d6c97f181f8fea05a629afd5c404e6d07ad47d776cfc0"
    "2dbda65fafba2c216f18c0ba8a763d4f50f4b3711afec5a4850c3d2dbc033cf06fe072ca2e8ebeaa6fa1818b1b149c17"
    "340a00a23e36ea71e890e2d4a22433fee5142897a08146615807d718840a061a04278259cbb489dac4b3514bee0e11b3"
    "7f0e028db1d439938558b4f484f639416a7c3b9646dc7ce0c64e51113ab29d96b5a8d9eae9d6548f9e576eaff700b0a0"
    "8608a5cb8de2cfb398c8211e87151ea500747d25c6b2a6ef0b80d29a1a1dccf7bccbfe1ae418975a93658da583940d14"
    "87268b656ab86da4db48e3d0a1e1f75c";
const char kSignatureC[] =
    "906bbdc4c120a9cb970fcd0d7a544285d36506fc4c15200cbfd394bc778d93fddd9cb8ed1fcb25e06c98b37da3f99e32"
    "0f92c8ebde173fc9111bdb0bfdebdedd69a0888e204176f68f894529f1898138824754f20b9e3c69078d641b12a97992"
    "f64ad998a97b3ea75bdbb0650491e1bc3bb9359db7da2d5a5022a4846834fc0f62f9376c891fb7b7fa6652dbb67881c5"
    "ebd17d4877f78372b61fc9182f72d7539b89c46f6e045a6cbab6360716fe897a0a673294bd2b88880dd4dcf51f6cf95b"
    "2d35e2a8b21469b7deb46b93a907aa2412edbd8c3cece803d977f60142690b3fe365e6b91e5ae99016da94c85852f465"
    "98f430ff8096ae891e721b8e6aa9f21a4fd5a7b8ba5074b818fea024efd0f7347711d21553a43796c3ed5f0540c22051"
    "c4a528901c4c63d1876c0e67280403aae03e67fd413a1c0ba27bd5e40101e6e763524c373ca8be6636041c84580e3bd3"
    "769593de60da3e01ea767b2a33e5bf81ea774d3b741193cb4ed6e4f2bde477c06d5f92036d8db9738e70e13a085b90ce";
const char kSignatureD[] =
    "6eb58155d498f71f0ccf57e7596304f4fe7af278b2ba87458304a5106baa4657c5aaa547a04f6533da34402f890d5a54"
    "144f01cc4dbd9768c4b7b3bddef6c7c98db96656ea767616ef1bcb3e329171badc4fd5659800cf26c72306417190e188"
    "3ec5e66d75859657a75471079c4f5f847d66ecfa4d2f1ecc0dac3a093de958070d682e29ea77afef53642b5d08d3e576"
    "b4a922fa9ece11ba66b6a0af5d3c83c1045666b6833c229f993aa459a15a4ef594a12e58ec1aba5e10b2ebcd090dbfc7"
    "eddea74723451d7f93055fcee03cf09e2acc353fc421baee41c4b8b8469b6877173a7fe8d9cdb547710f5a24b9cbfce1"
    "2f3909cb8ddb7a63cdf6bd77a14b5be80ce257f1b0d81f09e0e6518d05f41d1fd4573706cdef050bd2da2ea830b96035"
    "d10cea2dfabd3c9d673288046fc25fdd8dd4b3b92ce4411b8a79573ad887360406afac9761c19bd0e0b8dbd8b8eb3619"
    "70aa2a44b07d265bc505a708aca96dffa874559dd0b6c7bd2dd96a1ef5e52a61c8eea142ee7778d6f7d2444436c28547"
    "09246e0c2e0ac4e8c987070803c999f969b5d3ce3b81206f5c15611c6923c824b423a29f16afa94658c887bcd861af0c"
    "9af8acfecefd5aa5392da2215c10c1349b6d83563aafbb9119b32c13379cbaa266075a145ed6a277c1b00281416f04e9"
    "1b256ee0cf5bb72a3b8755097946ce4ad0ca7c7748831b0c731fc5f2ab35e41a";
const char kSignatureE[] =
    "854843946085b096fc5be847d15913656e5fdc7b2149226d40041f10ff66466ec1645a129f212105d7ad873e2750d4d8"
    "82cf18b71303eaed965083c9c3e1464c80f4c0643625fa82b4022a3d4630cc475c7592d4e617b168c00213b028b9ab5b"
    "251b166b87397be90fdee999c78c210eb7037ade0b6d56b38a90b562a739e2ec5211113d6ccc77561d40fb155265ce6e"
    "adbf7d5d8d4ecefe6c6d79660b239ebf27361d705f187a7e577db09c0a3e74f4519a659bf3e2785cf2a0f2e450597024"
    "f75cf07a2e4bcd090032bb322ce80f860120b112a25e82e5aef8f20d35ef18f5aa5a8314535410aedc7aa9e5ef931a5c"
    "e90cd46ceb9efc3778490d2d0c4c2a858df193";
const char kNoNullParameters[] =
    "86b1792c8e80e2ecfc0a72ca767f338fd07a5337a8833b3f0f2da954ddabbb14320fcd61f5daaf07bc356ea0e605282a"
    "968589a699b720effc577bbc30924a5782d7bd8b6dfaa00d2483d682f3c4a7911a8da902730f64a384efe58b42a31d60"
    "ff3def80e02f432a5f7b0e6ca25ae05f50551843828e2f86dbff049b7c47b11a4b5c335a89ebffd42c3f8f054e428e2c"
    "19b48717ccc15c9df19758085c4f3791f67c50485aae371ef85dbd7b3257b976db1c2c501ec0b06e0af2bf7f99253577"
    "963530bf2d68edf7a7440d245d059f69a51995c9b8c7234a4409c037669901f662d2af29142f153f9a5aa8b57c31ecb4"
    "c9a5e3cd4f2e713ee9929a8909669a49";
const char kPaddingByteFe[] =
    "41551e1c5e65f2f2a8a395b987eea86f6d135990ecfd1a9df8a922158cd4c24003d7378b989ddf82af726fa73b2f25a0"
    "5a8c1a35e27a84be864dc2f417d7947dd87b240b7dce9ff065fb50f9332c82b66c9544c6f8a8a0f5404f69e0a7aef930"
    "ca4271d121ecfa2999ca3a41b0173c3519cf41594ab33fb7f216246b7e21a51c9aa1657e98e29db1986b4f32de07eea7"
    "aa4f24fe2e621b477795a4b8258dd3e9e399654424337bf55f092b38b7cbe43d7f52229d47a5d2df923abc527f9a85bc"
    "0bfa81a9260683993cbb5763c8b50f168e29bc511dd083a6fea257b533f5a8210de26d1ba438ab35b0df98060dd84b17"
    "9882c289171fad8e38b35fd0292d367c";
const char kBytesAfterDigest[] =
    "4094410dbab80e121f281b26bf52ff68cab1fd071a0200fe05f8478ffc3ef8a0e3eb68c3f79a15ffdcf26e2d89da460e"
    "eacc4a3687121572796a6be87dbe5a238f70265ca08f10c7952edab25329fc1e3420b06914ab8de7cbc7e46c13fa988d"
    "462fda4c6d09fe653e34bdc8d0b07d76c09bc1bd44c8fe0bec219c2079ea6f944c6570d66672c4e9beb9887165bc0e67"
    "d26101ae3f99fc5a2a768cc596723b64808eec621ab76420cc36dc5c1f67df124e86ce44766401c537292dac9fcd6e50"
    "b2ae5ca3464c1b4726a4316644324442e514557826911c359425663e4389a0e5a6b0216acf985f2887d82a072f57fe04"
    "ad87e59bb8d0dcee362bce817584ea47";
const char kBlockType2[] =
    "180565f0bb13a47117aecce987849b118bd547428a025357e1c4582145635b00c0ee3c3108cb27e6428843c1376cf768"
    "4332410f049dbb6114dd30283cca6f4ac86c4ef5310035123c05eaa971b9feacca4cbc2fb989fc4e087de9f4d764257d"
    "bd4cf25da2c381d5e05a6b01410da190b62ec8bff438d18dbadde45ee1e28555714a96d4dc939474ba321d9586f15b14"
    "d83adf1ea8b23a2a385982abb09c5e16a62b28e78b35a1d9ed185d1497c638751ffc1323f917a87503e56bc052049eaf"
    "a19504fbff4e8fca1d62240566af1e4fcaa55e4c3c99741c8cc00dfb28fb8a64c48e803497da393d330456b54fc12e19"
    "a0a41cd1a22cea8bef891b64605bf696";
const char kSignatureFullSize[] =
    "55572be7c0020fd561d1664a6f6e62dae1abcb592707e836928d17a0883ee757368404a24eb1b00119bd160ef312845e"
    "8968afb99d677c183ba43d1f0fc472b63b08d4d6865a361c2699e7ee83c0262f9835392ff612dcc7648291d3f1b7e6ac"
    "726082dbb4eda7a260f283b9407263cc1c30128bb54fe2e881a2dda9c11ed02f2889411734e453f60385d474dcae8a9f"
    "de6f5f2f9fc909cb1bf06846f1b05f544965af588f0cf8364108b0b4e018bb68eafd5111ab2c43a61815efea8395f40c"
    "4a0ae074a907924b508c810f6ccdb8ffabfd7df96fa32975112ef59610dbd8dd6620e70250388436b6d422bbf62e39ed"
    "9c9a2d8a330b26f9d6e4a7506bc524b7";

std::vector<uint8_t> Bytes(const char* hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        bytes.push_back((uint8_t)strtoul(pair, nullptr, 16));
    }
    return bytes;
}

ReleaseKey Key(const std::vector<uint8_t>& modulus) { return {modulus.data(), modulus.size()}; }

std::vector<uint8_t> Flipped(std::vector<uint8_t> bytes, size_t bit)
{
    bytes[bit / 8] ^= (uint8_t)(0x80 >> bit % 8);
    return bytes;
}

// B: another key of A's length, which signed nothing here.
const std::vector<uint8_t> kA = Bytes(kModulusA), kB = Flipped(kA, 1000), kC = Bytes(kModulusC),
                           kD = Bytes(kModulusD), kE = Bytes(kModulusE);

std::string Signed(const std::string& body, const char* signature) { return body + "signature " + signature + "\n"; }

const char kSound[] = "signature by no built-in key";

struct Outcome {
    ReleaseCheck result;
    Release release;
    std::string detail;
};

Outcome Check(const std::string& text, const std::vector<ReleaseKey>& keys, DWORD minimumSerial = 1)
{
    Outcome outcome;
    outcome.release.serial = 99;
    outcome.release.files.resize(1);
    outcome.result = CheckRelease(text, keys.data(), keys.size(), minimumSerial, outcome.release, outcome.detail);
    // Whatever was refused leaves nothing behind to be used by mistake.
    if (outcome.result != ReleaseAccepted) {
        EXPECT_TRUE(outcome.release.serial == 0 && outcome.release.files.empty()) << outcome.detail;
    }
    return outcome;
}

TEST(Sha256Context, KnownAnswersInAnyChunkingAndEverySplit)
{
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // The length fits in the last block, needs one more, or follows a
        // whole block.
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    // Odd sizes leave every offset in the block held between calls; the last
    // feeds all in one.
    const std::vector<size_t> chunkings[] = {{1}, {3, 61, 64, 7}, {63, 65, 127, 1, 0}, {1000003}};
    for (const auto& c : cases)
        for (const auto& chunks : chunkings) {
            Sha256Context context;
            for (size_t at = 0, i = 0; at < c.input.size(); i++) {
                size_t n = std::min(chunks[i % chunks.size()], c.input.size() - at);
                context.Update(c.input.data() + at, n);
                at += n;
            }
            EXPECT_EQ(c.digest, Sha256Hex(context.Final())) << c.input.size() << " bytes in chunks of " << chunks[0];
        }

    // Every split of one input into two calls, on one context: Final starts
    // it anew.
    std::string data;
    for (int i = 0; i < 200; i++)
        data += (char)(i * 7);
    const std::string whole = Sha256Hex(Sha256(data.data(), data.size()));
    Sha256Context context;
    for (size_t split = 0; split <= data.size(); split++) {
        context.Update(data.data(), split);
        context.Update(data.data() + split, data.size() - split);
        ASSERT_EQ(whole, Sha256Hex(context.Final())) << split;
    }
}

TEST(RsaPublic, KnownPowersBelowEachModulus)
{
    // e is odd, so n - 1 = -1 is its own power, as are 0 and 1 (E's
    // signature checks the rest of the arithmetic of a partly filled top limb).
    for (const std::vector<uint8_t>* modulus : {&kA, &kC, &kD, &kE}) {
        const size_t length = modulus->size();
        std::vector<uint8_t> minusOne = *modulus, one(length), zero(length), output(length);
        minusOne[length - 1]--;
        one[length - 1] = 1;
        for (const std::vector<uint8_t>* input : {&minusOne, &one, &zero}) {
            ASSERT_TRUE(RsaPublic(modulus->data(), length, input->data(), output.data())) << length;
            EXPECT_EQ(*input, output) << length << " bytes, input ending " << (int)input->back();
        }
    }
}

TEST(RsaPkcs1Sha256Verify, OnlyTheExactBlockUnderTheKeyThatMadeIt)
{
    const Sha256Digest digest = Sha256(kBody, strlen(kBody));
    std::string altered = kBody;
    altered[20] ^= 1;
    const Sha256Digest otherDigest = Sha256(altered.data(), altered.size());
    const std::vector<uint8_t> a = Bytes(kSignatureA);
    std::vector<uint8_t> longer = a, appended = a, shorter(a.begin() + 1, a.end()), plusModulus = a;
    longer.insert(longer.begin(), 0);
    appended.push_back(0);
    unsigned carry = 0;
    for (size_t i = a.size(); i-- > 0; carry >>= 8)
        plusModulus[i] = (uint8_t)(carry += a[i] + kA[i]);
    ASSERT_EQ(0u, carry) << "the vector was chosen so that s + n still fits";
    const struct {
        const char* what;
        const std::vector<uint8_t>& modulus;
        std::vector<uint8_t> signature;
        const Sha256Digest& digest;
        bool verifies;
    } cases[] = {
        {"A", kA, a, digest, true},
        {"C, 3072 bits", kC, Bytes(kSignatureC), digest, true},
        {"D, 4096 bits", kD, Bytes(kSignatureD), digest, true},
        {"E, 2072 bits", kE, Bytes(kSignatureE), digest, true},
        {"another digest", kA, a, otherDigest, false},
        {"D, another digest", kD, Bytes(kSignatureD), otherDigest, false},
        {"signature's first bit", kA, Flipped(a, 0), digest, false},
        {"signature's bit 1000", kA, Flipped(a, 1000), digest, false},
        {"signature's last bit", kA, Flipped(a, 2047), digest, false},
        {"under key B, A's with bit 1000 flipped", kB, a, digest, false},
        {"modulus's top bit, a 2047-bit key", Flipped(kA, 0), a, digest, false},
        {"modulus's last bit, an even one", Flipped(kA, 2047), a, digest, false},
        {"signature equal to the modulus", kA, kA, digest, false},
        {"one byte longer, a leading zero", kA, longer, digest, false},
        {"one byte longer, a byte after it", kA, appended, digest, false},
        {"one byte shorter", kA, shorter, digest, false},
        {"signature plus the modulus", kA, plusModulus, digest, false},
        {"C's under A", kA, Bytes(kSignatureC), digest, false},
        {"DigestInfo without the NULL parameters", kA, Bytes(kNoNullParameters), digest, false},
        {"one padding byte FE", kA, Bytes(kPaddingByteFe), digest, false},
        {"shorter padding, bytes after the digest", kA, Bytes(kBytesAfterDigest), digest, false},
        {"block type 2", kA, Bytes(kBlockType2), digest, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.verifies, RsaPkcs1Sha256Verify(c.modulus.data(), c.modulus.size(), c.signature.data(),
                                                   c.signature.size(), c.digest))
            << c.what;
}

std::string Edited(const char* from, const char* to)
{
    std::string body = kBody;
    body.replace(body.find(from), strlen(from), to);
    return Signed(body, kSignatureA);
}

TEST(CheckRelease, AnyBuiltInKeyOfItsLengthSignsEveryByteThenTheSerialIsJudgedAndTheFilesRead)
{
    const std::string a = Signed(kBody, kSignatureA);
    const char* const kLength = "signature of 256 bytes, no built-in key that long";
    const struct {
        std::vector<ReleaseKey> keys;
        std::string text;
        DWORD minimum;
        ReleaseCheck result;
        const char* detail;
    } cases[] = {
        {{Key(kB), Key(kA)}, a, 7, ReleaseAccepted, "serial 7, 2 files"},
        {{Key(kD), Key(kC), Key(kA)}, a, 1, ReleaseAccepted, "serial 7, 2 files"},
        {{Key(kA), Key(kD)}, Signed(kBody, kSignatureD), 1, ReleaseAccepted, "serial 7, 2 files"},
        {{Key(kC)}, Signed(kBody, kSignatureC), 1, ReleaseAccepted, "serial 7, 2 files"},
        {{Key(kE)}, Signed(kBody, kSignatureE), 1, ReleaseAccepted, "serial 7, 2 files"},
        {{Key(kB)}, a, 1, ReleaseBadSignature, kSound},
        {{Key(kD), Key(kB)}, a, 1, ReleaseBadSignature, kSound},
        {{Key(kD), Key(kC)}, a, 1, ReleaseBadSignature, kLength},
        {{}, a, 1, ReleaseBadSignature, kLength},
        {{Key(kA)}, Signed(kBody, (std::string("00") + kSignatureA).c_str()), 1, ReleaseBadSignature,
         "signature of 257 bytes, no built-in key that long"},
        {{Key(kA)}, a, 8, ReleaseTooOld, "serial 7 below 8"},
        {{Key(kA)}, a, 4294967295u, ReleaseTooOld, "serial 7 below 4294967295"},
        // An unsigned change says nothing, not even that the serial is old.
        {{Key(kA)}, Edited("serial 7", "serial 6"), 7, ReleaseBadSignature, kSound},
        {{Key(kA)}, Edited("channel beta", "channel beta2"), 1, ReleaseBadSignature, kSound},
        {{Key(kA)}, Edited("channel beta\n", ""), 1, ReleaseBadSignature, kSound},
        {{Key(kA)}, Edited(" 11 ", " 12 "), 1, ReleaseBadSignature, kSound},
        {{Key(kA)}, Edited("ZembrioCore", "Zembriocore"), 1, ReleaseBadSignature, kSound},
    };
    for (const auto& c : cases) {
        Outcome o = Check(c.text, c.keys, c.minimum);
        EXPECT_EQ(c.result, o.result) << c.detail;
        EXPECT_EQ(c.detail, o.detail);
    }

    // What an accepted release holds.
    Outcome o = Check(a, {Key(kA)});
    ASSERT_EQ(ReleaseAccepted, o.result) << o.detail;
    EXPECT_EQ(7u, o.release.serial);
    ASSERT_EQ(2u, o.release.files.size());
    const ReleaseEntry* core = o.release.Find("zembriocore.EXE");
    ASSERT_TRUE(core);
    EXPECT_EQ("ZembrioCore.exe", core->name);
    EXPECT_EQ(11u, core->size);
    EXPECT_EQ("96f831e00e5938a058d7be917219a4a0c9f9311b2e680b3d6d0aa0d5ae7a451c", Sha256Hex(core->sha256));
    EXPECT_EQ(8u, o.release.Find("Runtime.dll") ? o.release.Find("Runtime.dll")->size : 0);
    EXPECT_FALSE(o.release.Find("ZembrioCore") || o.release.Find("channel"));
}

TEST(CheckRelease, UpTo8192BytesInAll)
{
    // kBody with a note line that brings the file signed by A to the limit.
    std::string full = std::string(kBody) + "note " + std::string(7450, 'x') + "\n";
    ASSERT_EQ(8192u, Signed(full, kSignatureFullSize).size());
    EXPECT_EQ(ReleaseAccepted, Check(Signed(full, kSignatureFullSize), {Key(kA)}).result);
    full.insert(full.size() - 1, "x");
    EXPECT_EQ("over 8192 bytes", Check(Signed(full, kSignatureFullSize), {Key(kA)}).detail);
}

// <h> is the first line, <sig> A's signature line (of kBody, so that a text
// whose structure is sound is refused for its signature), <d> a digest and
// <w> the word a case puts there.
std::string Fill(std::string pattern, const std::string& word = "")
{
    const struct {
        const char* mark;
        std::string text;
    } marks[] = {{"<h>", "zembrio-release 1\n"},
                 {"<sig>", std::string("signature ") + kSignatureA},
                 {"<d>", std::string(64, 'd')},
                 {"<nul>", std::string(1, '\0')},
                 {"<w>", word}};
    for (const auto& m : marks)
        for (size_t at; (at = pattern.find(m.mark)) != std::string::npos;)
            pattern.replace(at, strlen(m.mark), m.text);
    return pattern;
}

TEST(CheckRelease, EachFieldHasOneSpelling)
{
    std::string upper = kSignatureA;
    for (char& c : upper)
        c = c >= 'a' && c <= 'f' ? (char)(c - 32) : c;
    const std::string sixtyThree(63, 'd');
    const struct {
        const char* pattern;
        std::vector<std::string> refused, sound;
        const char* detail;
    } fields[] = {
        {"<h>serial <w>\n<sig>\n",
         {"0", "4294967296", "10000000000", "07", "+7", "-1", "7x", "7 8", ""},
         {"1", "4294967295"},
         "line 2: serial not a decimal from 1 to 4294967295"},
        {"<h>serial 7\nfile a.exe <w> <d>\n<sig>\n",
         {"4294967296", "12a", "01", "-1", ""},
         {"0", "4294967295"},
         "line 3: size not decimal"},
        {"<h>serial 7\nfile a.exe 1 <w>\n<sig>\n",
         {"D" + sixtyThree, sixtyThree, sixtyThree + "dd", "g" + sixtyThree},
         {},
         "line 3: digest not 64 lower-case hex digits"},
        // No path, nothing Windows reserves, trims or reads by code page.
        {"<h>serial 7\nfile <w> 1 <d>\n<sig>\n",
         {"a/b", "a\\b", "c:b", "..", "a..b", ".", "a.", "a*b", "a?b", "a\"b", "a<b", "a|b", "a\tb",
          "\xe9t\xe9.dll", "nul", "Nul.txt", "CON", "conout$", "CLOCK$", "com1", "Lpt9.dll"},
         {"CONFIG.SYS", "com10", "lpt0.x", "nul_", "a.b.c", "~$a-b_c+d(1)"},
         "line 3: file name not allowed"},
        {"<h>serial 7\nsignature <w>\n",
         {upper, std::string(kSignatureA) + "0", std::string(kSignatureA) + " 00", ""},
         {},
         "line 3: signature not lower-case hex"},
    };
    for (const auto& f : fields) {
        for (const std::string& word : f.refused) {
            Outcome o = Check(Fill(f.pattern, word), {Key(kA)});
            EXPECT_EQ(ReleaseMalformed, o.result) << word;
            EXPECT_EQ(f.detail, o.detail) << word;
        }
        for (const std::string& word : f.sound)
            EXPECT_EQ(kSound, Check(Fill(f.pattern, word), {Key(kA)}).detail) << word;
    }
}

TEST(CheckRelease, LinesAreJudgedBeforeTheSignature)
{
    const struct {
        const char* text;
        const char* detail;
    } cases[] = {
        {"", "line 1: no line feed at its end"},
        {"zembrio-release 2\nserial 7\n<sig>\n", "line 1: not zembrio-release 1"},
        {"serial 7\n<sig>\n", "line 1: not zembrio-release 1"},
        {"zembrio-release 1\r\nserial 7\r\n<sig>\r\n", "line 1: carriage return"},
        {"<h>serial 7\nnote a\rb\n<sig>\n", "line 3: carriage return"},
        {"<h>serial 7\nnote a<nul>b\n<sig>\n", "line 3: NUL byte"},
        {"<h>serial 7\n<sig>", "line 3: no line feed at its end"},
        {"<h>serial 7\n<sig>\nnote\n", "line 4: after the signature"},
        {"<h>serial 7\n<sig>\n\n", "line 4: after the signature"},
        {"<h>serial 7\n\n<sig>\n", "line 3: no first word"},
        {"<h>serial 7\n note\n<sig>\n", "line 3: no first word"},
        {"<h>file a.exe 1 <d>\n<sig>\n", "no serial"},
        {"<h>serial 7\nfile a.exe 1 <d>\n", "no signature"},
        {"<h>serial 7\nSignature 00\n", "no signature"},
        {"<h>serial 7\nserial 7\n<sig>\n", "line 3: second serial"},
        {"<h>serial\n<sig>\n", "line 2: serial not a decimal from 1 to 4294967295"},
        {"<h>serial 7\nfile a.exe 1\n<sig>\n", "line 3: file needs a name, a size and a digest"},
        {"<h>serial 7\nfile  a.exe 1 <d>\n<sig>\n", "line 3: file needs a name, a size and a digest"},
        {"<h>serial 7\nfile A.exe 1 <d>\nfile a.EXE 2 <d>\n<sig>\n", "line 4: file name repeated"},
        {"<h>serial 7\nsignature\n", "line 3: signature not lower-case hex"},
        // Kinds are case-sensitive words: these are lines of kinds to skip.
        {"<h>serial 7\nSerial 0\nfiles x\nzembrio-release 2\n<sig>\n", kSound},
    };
    for (const auto& c : cases) {
        Outcome o = Check(Fill(c.text), {Key(kA)});
        EXPECT_EQ(c.detail == kSound ? ReleaseBadSignature : ReleaseMalformed, o.result) << c.text;
        EXPECT_EQ(c.detail, o.detail) << c.text;
    }
}

} // namespace

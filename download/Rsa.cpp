#include "download/Rsa.h"
#include <cstring>

namespace {

// Numbers are little-endian arrays of 32-bit limbs, all as long as the
// modulus. Montgomery multiplication keeps every step below the modulus
// without a division; the verification runs once, so the plain loops do.
typedef uint32_t Limb;
const size_t kMaxLimbs = kRsaMaximumBytes / 4;

// value -= modulus when value, with carry as its bit above the top limb, is
// not below it: brings anything under twice the modulus back under it.
void ReduceOnce(Limb* value, Limb carry, const Limb* modulus, size_t limbs)
{
    if (!carry) {
        size_t i = limbs;
        while (i-- > 0 && value[i] == modulus[i]) {
        }
        if (i < limbs && value[i] < modulus[i])
            return;
    }
    Limb borrow = 0;
    for (size_t i = 0; i < limbs; i++) {
        uint64_t difference = (uint64_t)value[i] - modulus[i] - borrow;
        value[i] = (Limb)difference;
        borrow = (Limb)(difference >> 63);
    }
}

// result = a * b / 2^(32 * limbs) mod modulus, for a and b below modulus;
// inverse is -1 / modulus mod 2^32. result may be a or b.
void MontgomeryMultiply(Limb* result, const Limb* a, const Limb* b, const Limb* modulus, size_t limbs, Limb inverse)
{
    Limb t[kMaxLimbs + 2];
    memset(t, 0, sizeof t);
    for (size_t i = 0; i < limbs; i++) {
        uint64_t carry = 0;
        for (size_t j = 0; j < limbs; j++) {
            carry += t[j] + (uint64_t)a[j] * b[i];
            t[j] = (Limb)carry;
            carry >>= 32;
        }
        carry += t[limbs];
        t[limbs] = (Limb)carry;
        t[limbs + 1] = (Limb)(carry >> 32);
        // Adding m * modulus clears the low limb, so t shifts down by one.
        Limb m = t[0] * inverse;
        carry = (t[0] + (uint64_t)m * modulus[0]) >> 32;
        for (size_t j = 1; j < limbs; j++) {
            carry += t[j] + (uint64_t)m * modulus[j];
            t[j - 1] = (Limb)carry;
            carry >>= 32;
        }
        carry += t[limbs];
        t[limbs - 1] = (Limb)carry;
        t[limbs] = t[limbs + 1] + (Limb)(carry >> 32);
    }
    ReduceOnce(t, t[limbs], modulus, limbs);
    memcpy(result, t, limbs * sizeof(Limb));
}

void FromBytes(Limb* number, const uint8_t* bytes, size_t length)
{
    memset(number, 0, kMaxLimbs * sizeof(Limb));
    for (size_t i = 0; i < length; i++)
        number[i / 4] |= (Limb)bytes[length - 1 - i] << (i % 4 * 8);
}

const uint8_t kSha256DigestInfo[19] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

} // namespace

bool RsaPublic(const uint8_t* modulus, size_t length, const uint8_t* input, uint8_t* output)
{
    if (length < kRsaMinimumBytes || length > kRsaMaximumBytes || !(modulus[0] & 0x80) || !(modulus[length - 1] & 1))
        return false;
    // Equal lengths: the byte order is the numeric order.
    if (memcmp(input, modulus, length) >= 0)
        return false;
    size_t limbs = (length + 3) / 4;
    Limb n[kMaxLimbs], s[kMaxLimbs], x[kMaxLimbs];
    FromBytes(n, modulus, length);
    FromBytes(s, input, length);
    // -1 / n mod 2^32 by Newton's iteration: n * n = 1 mod 8 for odd n, and
    // each step doubles the bits that are right.
    Limb inverse = n[0];
    for (int i = 0; i < 4; i++)
        inverse *= 2 - n[0] * inverse;
    inverse = 0 - inverse;
    // R^2 mod n, R = 2^(32 * limbs): doublings from 2^(8 * length - 1),
    // which is below n (its top bit is that one and n is odd), up to
    // 2^power R, the Montgomery form of 2^power; then squarings, each of
    // which doubles the power. A squaring costs a few hundred doublings.
    size_t power = 32 * limbs, squarings = 0;
    while (power > 256 && power % 2 == 0) {
        power /= 2;
        squarings++;
    }
    memset(x, 0, sizeof x);
    x[(length * 8 - 1) / 32] = (Limb)1 << ((length * 8 - 1) % 32);
    for (size_t bit = length * 8 - 1; bit < 32 * limbs + power; bit++) {
        Limb carry = 0;
        for (size_t i = 0; i < limbs; i++) {
            Limb top = x[i] >> 31;
            x[i] = x[i] << 1 | carry;
            carry = top;
        }
        ReduceOnce(x, carry, n, limbs);
    }
    while (squarings--)
        MontgomeryMultiply(x, x, x, n, limbs, inverse);
    // s R, then (s R)^65536 / R^65535 = s^65536 R by squarings; the last
    // multiplication by plain s takes both the last bit and the R away.
    MontgomeryMultiply(x, s, x, n, limbs, inverse);
    for (int i = 0; i < 16; i++)
        MontgomeryMultiply(x, x, x, n, limbs, inverse);
    MontgomeryMultiply(x, x, s, n, limbs, inverse);
    for (size_t i = 0; i < length; i++)
        output[length - 1 - i] = (uint8_t)(x[i / 4] >> (i % 4 * 8));
    return true;
}

bool RsaPkcs1Sha256Verify(const uint8_t* modulus, size_t modulusLength, const uint8_t* signature,
                          size_t signatureLength, const Sha256Digest& digest)
{
    // The whole expected block is built and compared: a parse of the decoded
    // one would have to get every length and tag right to be as strict.
    uint8_t decoded[kRsaMaximumBytes], expected[kRsaMaximumBytes];
    if (signatureLength != modulusLength || !RsaPublic(modulus, modulusLength, signature, decoded))
        return false;
    size_t hashAt = modulusLength - sizeof digest.bytes, infoAt = hashAt - sizeof kSha256DigestInfo;
    expected[0] = 0x00;
    expected[1] = 0x01;
    memset(expected + 2, 0xff, infoAt - 3);
    expected[infoAt - 1] = 0x00;
    memcpy(expected + infoAt, kSha256DigestInfo, sizeof kSha256DigestInfo);
    memcpy(expected + hashAt, digest.bytes, sizeof digest.bytes);
    return memcmp(decoded, expected, modulusLength) == 0;
}

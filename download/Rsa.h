// RSA signature verification with the public exponent 65537, in the
// installer's own code: the system's CryptoAPI differs from Windows 95 to 11
// (and the oldest have no SHA-256 in it), and this check must not.
#pragma once
#include <cstddef>
#include <cstdint>
#include "download/Sha256.h"

// Keys of 2048 to 4096 bits, written big-endian without leading zero bytes.
const size_t kRsaMinimumBytes = 2048 / 8;
const size_t kRsaMaximumBytes = 4096 / 8;

// output = input^65537 mod modulus, all three length bytes, big-endian.
// False, with output untouched, when the modulus is not an odd number of
// kRsaMinimumBytes to kRsaMaximumBytes with its top bit set, or when input
// is not below it.
bool RsaPublic(const uint8_t* modulus, size_t length, const uint8_t* input, uint8_t* output);

// RSASSA-PKCS1-v1_5 with SHA-256: the signature, exactly as long as the
// modulus, must decode to the one block that encodes digest.
bool RsaPkcs1Sha256Verify(const uint8_t* modulus, size_t modulusLength, const uint8_t* signature,
                          size_t signatureLength, const Sha256Digest& digest);

// SHA-256, for the signer pins and the release file: Windows 98, 2000 and
// XP before SP3 have no SHA-256 in their CryptoAPI, so the installer brings
// its own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct Sha256Digest {
    uint8_t bytes[32];
};

// For data that arrives in pieces, such as a large file read in chunks.
// Final returns the digest of everything given and starts the context anew.
class Sha256Context {
public:
    Sha256Context() { Reset(); }
    void Reset();
    void Update(const void* data, size_t length);
    Sha256Digest Final();

private:
    uint32_t m_state[8];
    uint64_t m_length;  // bytes given so far
    uint8_t m_block[64];  // the part of the block not yet compressed
};

Sha256Digest Sha256(const void* data, size_t length);
// 64 lower-case hex digits, as the release file and the pins write them.
std::string Sha256Hex(const Sha256Digest& digest);

// SHA-256, for the signer pins: Windows 98, 2000 and XP before SP3 have no
// SHA-256 in their CryptoAPI, so the installer brings its own.
#pragma once
#include <cstddef>
#include <cstdint>

struct Sha256Digest {
    uint8_t bytes[32];
};

Sha256Digest Sha256(const void* data, size_t length);

// release.txt: the signed list of a release's files, with their sizes and
// SHA-256 digests, that the installer checks each download against.
//
//   zembrio-release 1
//   serial <1 to 4294967295>
//   file <name> <size> <SHA-256 in lower-case hex>     (one per component)
//   signature <RSASSA-PKCS1-v1_5 SHA-256 signature in lower-case hex>
//
// The signature covers every byte before its line. Lines end in LF; a line
// of another kind is signed but skipped, so later versions can add fields.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include "download/Sha256.h"

// Anything longer is refused unread: the download can stop at this size.
const size_t kReleaseFileMaximum = 8192;

// A built-in public key: the modulus, big-endian. The exponent is 65537.
struct ReleaseKey {
    const uint8_t* modulus;
    size_t length;
};

struct ReleaseEntry {
    std::string name;
    UINT size;
    Sha256Digest sha256;
};

struct Release {
    DWORD serial = 0;
    std::vector<ReleaseEntry> files;
    // Names compare as Windows file names do, without regard to case; null
    // when the release has no such file.
    const ReleaseEntry* Find(const std::string& name) const;
};

enum ReleaseCheck {
    ReleaseAccepted,
    ReleaseMalformed,     // not a release file of this version
    ReleaseBadSignature,  // no built-in key verifies it
    ReleaseTooOld,        // signed, but its serial is below minimumSerial
};

// Checks the text of release.txt and, when it is accepted, fills release;
// otherwise release is left empty. The signature is checked before the
// serial, so an unsigned file cannot tell the installer anything. A key
// verifies only a signature as long as its modulus. minimumSerial is the
// highest of the build's own minimum and the serials seen before. detail
// receives a short reason for the run log.
ReleaseCheck CheckRelease(const std::string& text, const ReleaseKey* keys, size_t keyCount, DWORD minimumSerial,
                          Release& release, std::string& detail);

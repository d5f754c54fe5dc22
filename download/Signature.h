// Authenticode check of a downloaded program: the system verifies the
// signature, and the installer itself checks that the signer is its
// publisher. Plain HTTP carries the files, so this is what makes them
// trustworthy; a size or a header checksum anyone can recompute.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "download/Sha256.h"

enum SignatureCheck {
    SignatureTrusted,      // verified by the system and signed by a pinned key
    SignatureRefused,      // unsigned, altered, untrusted or another signer's
    SignatureUncheckable,  // the system cannot verify signatures at all
};

// Pins: SHA-256 digests of signer certificates' DER SubjectPublicKeyInfo,
// as ';'-separated lower-case hex. False on anything else.
bool ParseSignerPins(const char* list, std::vector<Sha256Digest>& pins);
// The pins this build trusts.
const std::vector<Sha256Digest>& TrustedSigners();
// The SubjectPublicKeyInfo element (tag, length and content) of a DER
// certificate; false when the encoding does not hold one.
bool CertificatePublicKeyInfo(const BYTE* der, DWORD length, const BYTE*& info, DWORD& infoLength);
// Loads the system's wintrust.dll; tests replace it.
extern HMODULE (*g_pfnLoadWintrust)();
// Checks the program through its open handle, so what is checked is what
// stays held. path names it for the system's lookup of the file type.
// detail receives the reason of a refusal, for the run log.
SignatureCheck CheckPublisherSignature(HANDLE file, const std::string& path, const std::vector<Sha256Digest>& pins,
                                       std::string& detail);

#include "download/Signature.h"
#include <wintrust.h>
#include <softpub.h>
#include <cstddef>
#include <cstring>
#include "BuildConfig.h"
#include "framework/SystemLibrary.h"
#include "framework/Text.h"

bool ParseSignerPins(const char* list, std::vector<Sha256Digest>& pins)
{
    pins.clear();
    const char* p = list;
    while (*p) {
        Sha256Digest pin;
        for (int i = 0; i < 64; i++) {
            char c = p[i];
            int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (value < 0)
                return false;
            if (i % 2 == 0)
                pin.bytes[i / 2] = (uint8_t)(value << 4);
            else
                pin.bytes[i / 2] |= (uint8_t)value;
        }
        pins.push_back(pin);
        p += 64;
        if (*p == ';' && p[1])
            p++;
        else if (*p)
            return false;
    }
    return true;
}

const std::vector<Sha256Digest>& TrustedSigners()
{
    // The build refuses a malformed list; should one get here, nothing is
    // trusted.
    static const std::vector<Sha256Digest> pins = [] {
        std::vector<Sha256Digest> parsed;
        if (!ParseSignerPins(ZEMBRIO_TRUSTED_SIGNERS, parsed))
            parsed.clear();
        return parsed;
    }();
    return pins;
}

namespace {

// One DER element inside [at, end): its tag, where its content starts and
// how long it is. Only what certificates use: one-byte tags, definite
// lengths of at most four bytes.
struct DerElement {
    BYTE tag;
    const BYTE* start;     // the tag byte
    const BYTE* content;
    DWORD length;          // of the content
    const BYTE* End() const { return content + length; }
};

bool ReadElement(const BYTE* at, const BYTE* end, DerElement& element)
{
    if (end - at < 2 || (at[0] & 0x1F) == 0x1F)
        return false;
    element.tag = at[0];
    element.start = at;
    DWORD length = at[1];
    const BYTE* content = at + 2;
    if (length & 0x80) {
        int count = length & 0x7F;
        if (count == 0 || count > 4 || end - content < count)
            return false;
        length = 0;
        for (int i = 0; i < count; i++)
            length = length << 8 | *content++;
    }
    if ((DWORD)(end - content) < length)
        return false;
    element.content = content;
    element.length = length;
    return true;
}

} // namespace

bool CertificatePublicKeyInfo(const BYTE* der, DWORD length, const BYTE*& info, DWORD& infoLength)
{
    DerElement certificate, tbs, field;
    if (!ReadElement(der, der + length, certificate) || certificate.tag != 0x30 ||
        !ReadElement(certificate.content, certificate.End(), tbs) || tbs.tag != 0x30)
        return false;
    // version [0] (optional), serialNumber, signature, issuer, validity,
    // subject, then subjectPublicKeyInfo.
    static const BYTE kFields[] = {0x02, 0x30, 0x30, 0x30, 0x30};
    const BYTE* at = tbs.content;
    if (!ReadElement(at, tbs.End(), field))
        return false;
    if (field.tag == 0xA0)
        at = field.End();
    for (BYTE tag : kFields) {
        if (!ReadElement(at, tbs.End(), field) || field.tag != tag)
            return false;
        at = field.End();
    }
    if (!ReadElement(at, tbs.End(), field) || field.tag != 0x30)
        return false;
    info = field.start;
    infoLength = (DWORD)(field.End() - field.start);
    return true;
}

// Tests take the system's verification away, as old systems lack it.
HMODULE (*g_pfnLoadWintrust)() = [] { return LoadSystemLibrary("wintrust.dll"); };

namespace {

typedef LONG(WINAPI* WinVerifyTrustProc)(HWND, GUID*, LPVOID);
typedef CRYPT_PROVIDER_DATA*(WINAPI* ProvDataProc)(HANDLE);
typedef CRYPT_PROVIDER_SGNR*(WINAPI* ProvSignerProc)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);

// From the system's wintrust.dll (which stays loaded); all null where it or
// one of them is missing (Windows 95 without Internet Explorer 4, say).
struct TrustFunctions {
    WinVerifyTrustProc verify = nullptr;
    ProvDataProc provData = nullptr;
    ProvSignerProc signer = nullptr;
};

TrustFunctions Trust()
{
    TrustFunctions found;
    HMODULE lib = g_pfnLoadWintrust();
    if (!ResolveFunction(lib, "WinVerifyTrust", found.verify) ||
        !ResolveFunction(lib, "WTHelperProvDataFromStateData", found.provData) ||
        !ResolveFunction(lib, "WTHelperGetProvSignerFromChain", found.signer))
        found = TrustFunctions();
    return found;
}

std::string PinText(const Sha256Digest& digest)
{
    std::string text;
    for (BYTE b : digest.bytes)
        text += Format("%02x", b);
    return text;
}

// The signer's key against the pins: the certificate the system verified
// the primary signature with, not one looked up again in the file, which
// could carry several of the same issuer and serial number.
SignatureCheck CheckSigner(const TrustFunctions& trust, HANDLE state, const std::vector<Sha256Digest>& pins,
                           std::string& detail)
{
    CRYPT_PROVIDER_DATA* data = trust.provData(state);
    CRYPT_PROVIDER_SGNR* signer = data ? trust.signer(data, 0, FALSE, 0) : nullptr;
    if (!signer || signer->csCertChain == 0 || !signer->pasCertChain || !signer->pasCertChain[0].pCert) {
        detail = "no signer certificate";
        return SignatureRefused;
    }
    PCCERT_CONTEXT cert = signer->pasCertChain[0].pCert;
    const BYTE* info;
    DWORD infoLength;
    if (!CertificatePublicKeyInfo(cert->pbCertEncoded, cert->cbCertEncoded, info, infoLength)) {
        detail = "unreadable signer certificate";
        return SignatureRefused;
    }
    Sha256Digest key = Sha256(info, infoLength);
    for (const Sha256Digest& pin : pins)
        if (memcmp(pin.bytes, key.bytes, sizeof key.bytes) == 0)
            return SignatureTrusted;
    detail = "signer " + PinText(key) + " not trusted";
    return SignatureRefused;
}

} // namespace

SignatureCheck CheckPublisherSignature(HANDLE file, const std::string& path, const std::vector<Sha256Digest>& pins,
                                       std::string& detail)
{
    TrustFunctions trust = Trust();
    if (!trust.verify) {
        detail = "the system cannot verify signatures";
        return SignatureUncheckable;
    }
    WCHAR widePath[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, widePath, MAX_PATH) <= 0) {
        detail = "unconvertible path";
        return SignatureRefused;
    }

    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = widePath;
    fileInfo.hFile = file;
    WINTRUST_DATA data = {};
    // The size older systems know; newer ones read the fields it covers.
    data.cbStruct = offsetof(WINTRUST_DATA, dwUIContext) + sizeof data.dwUIContext;
    data.dwUIChoice = WTD_UI_NONE;
    // Revocation lists would be fetched over the network, which at logon
    // may not be up yet; the pin is what names the publisher.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

    // The system reads the file from its current position on.
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    LONG status = trust.verify((HWND)INVALID_HANDLE_VALUE, &action, &data);
    SignatureCheck result;
    if (status != ERROR_SUCCESS) {
        detail = Format("WinVerifyTrust %08lX", (unsigned long)status);
        result = SignatureRefused;
    } else {
        result = CheckSigner(trust, data.hWVTStateData, pins, detail);
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    trust.verify((HWND)INVALID_HANDLE_VALUE, &action, &data);
    return result;
}

#include "download/ReleaseFile.h"
#include <cstring>
#include "download/Rsa.h"

namespace {

std::string Decimal(uint32_t value)
{
    char digits[11];
    char* p = digits + sizeof digits;
    *--p = 0;
    do
        *--p = (char)('0' + value % 10);
    while (value /= 10);
    return p;
}

// Digits only, without a sign or a leading zero, so that each number has
// one spelling; at most 32 bits.
bool ParseDecimal(const std::string& text, uint32_t& value)
{
    if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1))
        return false;
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + (c - '0');
    }
    value = (uint32_t)number;
    return number <= 0xffffffff;
}

// Lower-case hex only, an even number of digits.
bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes)
{
    if (text.empty() || text.size() % 2)
        return false;
    bytes.assign(text.size() / 2, 0);
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (value < 0)
            return false;
        bytes[i / 2] |= (uint8_t)(value << (i % 2 ? 0 : 4));
    }
    return true;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

// A name the installer can create in its folder and nothing else: no path,
// nothing Windows reserves or trims (a trailing dot; a device such as NUL,
// which would swallow the file and report success), and printable ASCII
// only, because other ANSI bytes name different files on different code
// pages and a DBCS trail byte can be a backslash.
bool PlainFileName(const std::string& name)
{
    if (name.empty() || name[name.size() - 1] == '.' || name.find("..") != std::string::npos)
        return false;
    for (char c : name)
        if ((unsigned char)c < 0x21 || (unsigned char)c > 0x7e || strchr("\\/:*?\"<>|", c))
            return false;
    std::string device = name.substr(0, name.find('.'));
    for (char& c : device)
        c = Upper(c);
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CLOCK$", "CONIN$", "CONOUT$"};
    for (const char* reserved : kDevices)
        if (device == reserved)
            return false;
    return !(device.size() == 4 && (device.compare(0, 3, "COM") == 0 || device.compare(0, 3, "LPT") == 0) &&
             device[3] >= '1' && device[3] <= '9');
}

std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> words;
    for (size_t start = 0;;) {
        size_t space = line.find(' ', start);
        words.push_back(line.substr(start, space - start));
        if (space == std::string::npos)
            return words;
        start = space + 1;
    }
}

// The structure, before anything is verified. Returns the fault, with line
// its line or 0, or null with release filled, the signature's bytes and the
// length of the signed part before the signature line.
const char* ParseRelease(const std::string& text, Release& release, std::vector<uint8_t>& signature,
                         size_t& signedLength, uint32_t& line)
{
    bool haveSerial = false, haveSignature = false;
    line = 1;
    for (size_t start = 0; start < text.size() || line == 1; line++) {
        if (haveSignature)
            return "after the signature";
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            return "no line feed at its end";
        std::string content = text.substr(start, end - start);
        if (content.find('\r') != std::string::npos)
            return "carriage return";
        if (content.find('\0') != std::string::npos)
            return "NUL byte";
        std::vector<std::string> words = Words(content);
        const std::string& kind = words[0];
        if (line == 1) {
            if (content != "zembrio-release 1")
                return "not zembrio-release 1";
        } else if (kind.empty()) {
            return "no first word";
        } else if (kind == "serial") {
            if (haveSerial)
                return "second serial";
            uint32_t serial;
            if (words.size() != 2 || !ParseDecimal(words[1], serial) || serial == 0)
                return "serial not a decimal from 1 to 4294967295";
            release.serial = serial;
            haveSerial = true;
        } else if (kind == "file") {
            ReleaseEntry entry;
            uint32_t size;
            std::vector<uint8_t> digest;
            if (words.size() != 4)
                return "file needs a name, a size and a digest";
            if (!PlainFileName(words[1]))
                return "file name not allowed";
            if (release.Find(words[1]))
                return "file name repeated";
            if (!ParseDecimal(words[2], size))
                return "size not decimal";
            if (words[3].size() != 64 || !ParseHex(words[3], digest))
                return "digest not 64 lower-case hex digits";
            entry.name = words[1];
            entry.size = size;
            memcpy(entry.sha256.bytes, digest.data(), sizeof entry.sha256.bytes);
            release.files.push_back(entry);
        } else if (kind == "signature") {
            if (words.size() != 2 || !ParseHex(words[1], signature))
                return "signature not lower-case hex";
            signedLength = start;
            haveSignature = true;
        }
        start = end + 1;
    }
    line = 0;  // what follows is about the whole file
    if (!haveSerial)
        return "no serial";
    if (!haveSignature)
        return "no signature";
    return nullptr;
}

} // namespace

const ReleaseEntry* Release::Find(const std::string& name) const
{
    for (const ReleaseEntry& entry : files)
        if (SameName(entry.name, name))
            return &entry;
    return nullptr;
}

ReleaseCheck CheckRelease(const std::string& text, const ReleaseKey* keys, size_t keyCount, DWORD minimumSerial,
                          Release& release, std::string& detail)
{
    release = Release();
    if (text.size() > kReleaseFileMaximum) {
        detail = "over 8192 bytes";
        return ReleaseMalformed;
    }
    Release parsed;
    std::vector<uint8_t> signature;
    size_t signedLength = 0;
    uint32_t line;
    if (const char* fault = ParseRelease(text, parsed, signature, signedLength, line)) {
        detail = line ? "line " + Decimal(line) + ": " + fault : std::string(fault);
        return ReleaseMalformed;
    }
    Sha256Digest digest = Sha256(text.data(), signedLength);
    bool lengthFits = false;
    for (size_t i = 0; i < keyCount; i++) {
        if (keys[i].length != signature.size())
            continue;
        lengthFits = true;
        if (RsaPkcs1Sha256Verify(keys[i].modulus, keys[i].length, signature.data(), signature.size(), digest)) {
            if (parsed.serial < minimumSerial) {
                detail = "serial " + Decimal(parsed.serial) + " below " + Decimal(minimumSerial);
                return ReleaseTooOld;
            }
            detail = "serial " + Decimal(parsed.serial) + ", " + Decimal((uint32_t)parsed.files.size()) + " files";
            release = parsed;
            return ReleaseAccepted;
        }
    }
    detail = lengthFits ? "signature by no built-in key"
                        : "signature of " + Decimal((uint32_t)signature.size()) + " bytes, no built-in key that long";
    return ReleaseBadSignature;
}

#include "download/ReleaseFile.h"
#include <cstring>
#include "download/Rsa.h"

namespace {

// Words point into the text: the installer carries this parser in its
// stub, and copies of every line and word would cost kilobytes of code.
struct Word {
    const char* text;
    size_t length;
};

bool Is(const Word& word, const char* text) { return word.length == strlen(text) && !memcmp(word.text, text, word.length); }

void AppendDecimal(std::string& text, uint32_t value)
{
    char digits[11];
    char* p = digits + sizeof digits;
    *--p = 0;
    do
        *--p = (char)('0' + value % 10);
    while (value /= 10);
    text += p;
}

// detail = before number after
void Say(std::string& detail, const char* before, uint32_t number, const char* after)
{
    detail = before;
    AppendDecimal(detail, number);
    detail += after;
}

// Digits only, without a sign or a leading zero, so that each number has
// one spelling; at most 32 bits.
bool ParseDecimal(const Word& word, uint32_t& value)
{
    if (!word.length || word.length > 10 || (word.text[0] == '0' && word.length > 1))
        return false;
    uint64_t number = 0;
    for (size_t i = 0; i < word.length; i++) {
        char c = word.text[i];
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + (c - '0');
    }
    value = (uint32_t)number;
    return number <= 0xffffffff;
}

// Lower-case hex only, an even number of digits, into length / 2 bytes.
bool ParseHex(const Word& word, uint8_t* bytes)
{
    if (!word.length || word.length % 2)
        return false;
    for (size_t i = 0; i < word.length; i++) {
        char c = word.text[i];
        int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (value < 0)
            return false;
        if (i % 2)
            bytes[i / 2] |= (uint8_t)value;
        else
            bytes[i / 2] = (uint8_t)(value << 4);
    }
    return true;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

// As Windows compares the names this parser lets in, which are ASCII.
bool SameName(const char* a, size_t aLength, const std::string& b)
{
    if (aLength != b.size())
        return false;
    for (size_t i = 0; i < aLength; i++)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

const ReleaseEntry* FindName(const Release& release, const char* name, size_t length)
{
    for (const ReleaseEntry& entry : release.files)
        if (SameName(name, length, entry.name))
            return &entry;
    return nullptr;
}

// A name the installer can create in its folder and nothing else: no path,
// nothing Windows reserves or trims (a trailing dot; a device such as NUL,
// which would swallow the file and report success), and printable ASCII
// only, because other ANSI bytes name different files on different code
// pages and a DBCS trail byte can be a backslash.
bool PlainFileName(const Word& name)
{
    if (!name.length || name.text[name.length - 1] == '.')
        return false;
    size_t base = name.length;
    for (size_t i = 0; i < name.length; i++) {
        unsigned char c = (unsigned char)name.text[i];
        if (c < 0x21 || c > 0x7e || strchr("\\/:*?\"<>|", c) || (c == '.' && i + 1 < name.length && name.text[i + 1] == '.'))
            return false;
        if (c == '.' && base == name.length)
            base = i;
    }
    char device[8] = {};
    if (base >= sizeof device)
        return true;
    for (size_t i = 0; i < base; i++)
        device[i] = Upper(name.text[i]);
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CLOCK$", "CONIN$", "CONOUT$"};
    for (const char* reserved : kDevices)
        if (!strcmp(device, reserved))
            return false;
    return !(base == 4 && (!memcmp(device, "COM", 3) || !memcmp(device, "LPT", 3)) && device[3] >= '1' &&
             device[3] <= '9');
}

// Splits at each space, into at most kMaxWords; returns how many there were.
const size_t kMaxWords = 5;
size_t Split(const char* line, const char* end, Word* words)
{
    size_t count = 0;
    for (const char* p = line;; count++) {
        const char* space = (const char*)memchr(p, ' ', end - p);
        const char* stop = space ? space : end;
        if (count < kMaxWords)
            words[count] = {p, (size_t)(stop - p)};
        if (!space)
            return count + 1;
        p = space + 1;
    }
}

// The structure, before anything is verified. Returns the fault, with line
// its line or 0, or null with release filled, the signature's bytes and the
// length of the signed part before the signature line.
const char* ParseRelease(const std::string& text, Release& release, std::vector<uint8_t>& signature,
                         size_t& signedLength, uint32_t& line)
{
    bool haveSerial = false, haveSignature = false;
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    line = 1;
    for (const char* start = begin; start < end || line == 1; line++) {
        if (haveSignature)
            return "after the signature";
        const char* stop = (const char*)memchr(start, '\n', end - start);
        if (!stop)
            return "no line feed at its end";
        if (memchr(start, '\r', stop - start))
            return "carriage return";
        if (memchr(start, '\0', stop - start))
            return "NUL byte";
        Word words[kMaxWords];
        size_t count = Split(start, stop, words);
        const Word& kind = words[0];
        if (line == 1) {
            if (!(count == 2 && Is(kind, "zembrio-release") && Is(words[1], "1")))
                return "not zembrio-release 1";
        } else if (!kind.length) {
            return "no first word";
        } else if (Is(kind, "serial")) {
            uint32_t serial;
            if (haveSerial)
                return "second serial";
            if (count != 2 || !ParseDecimal(words[1], serial) || !serial)
                return "serial not a decimal from 1 to 4294967295";
            release.serial = serial;
            haveSerial = true;
        } else if (Is(kind, "file")) {
            uint32_t size;
            Sha256Digest sha256;
            if (count != 4)
                return "file needs a name, a size and a digest";
            if (!PlainFileName(words[1]))
                return "file name not allowed";
            if (FindName(release, words[1].text, words[1].length))
                return "file name repeated";
            if (!ParseDecimal(words[2], size))
                return "size not decimal";
            if (words[3].length != 64 || !ParseHex(words[3], sha256.bytes))
                return "digest not 64 lower-case hex digits";
            release.files.emplace_back();
            ReleaseEntry& entry = release.files.back();
            entry.name.assign(words[1].text, words[1].length);
            entry.size = size;
            entry.sha256 = sha256;
        } else if (Is(kind, "signature")) {
            if (count == 2)
                signature.resize(words[1].length / 2);
            if (count != 2 || !ParseHex(words[1], signature.data()))
                return "signature not lower-case hex";
            signedLength = start - begin;
            haveSignature = true;
        }
        start = stop + 1;
    }
    line = 0;  // what follows is about the whole file
    if (!haveSerial)
        return "no serial";
    if (!haveSignature)
        return "no signature";
    return nullptr;
}

} // namespace

const ReleaseEntry* Release::Find(const std::string& name) const { return FindName(*this, name.data(), name.size()); }

ReleaseCheck CheckRelease(const std::string& text, const ReleaseKey* keys, size_t keyCount, DWORD minimumSerial,
                          Release& release, std::string& detail)
{
    release.serial = 0;
    release.files.clear();
    if (text.size() > kReleaseFileMaximum) {
        detail = "over 8192 bytes";
        return ReleaseMalformed;
    }
    Release parsed;
    std::vector<uint8_t> signature;
    size_t signedLength = 0;
    uint32_t line;
    if (const char* fault = ParseRelease(text, parsed, signature, signedLength, line)) {
        if (line)
            Say(detail, "line ", line, ": ");
        else
            detail.clear();
        detail += fault;
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
                Say(detail, "serial ", parsed.serial, " below ");
                AppendDecimal(detail, minimumSerial);
                return ReleaseTooOld;
            }
            Say(detail, "serial ", parsed.serial, ", ");
            AppendDecimal(detail, (uint32_t)parsed.files.size());
            detail += " files";
            release.serial = parsed.serial;
            release.files.swap(parsed.files);
            return ReleaseAccepted;
        }
    }
    if (lengthFits)
        detail = "signature by no built-in key";
    else
        Say(detail, "signature of ", (uint32_t)signature.size(), " bytes, no built-in key that long");
    return ReleaseBadSignature;
}

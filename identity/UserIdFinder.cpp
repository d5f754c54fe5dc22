#include "identity/UserIdFinder.h"
#include <windows.h>
#include <mbstring.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "BuildConfig.h"
#include "framework/File.h"
#include "framework/Internet.h"
#include "framework/Text.h"

static const char kExpiryText[] = ";expires = Thu, 31-Dec-2099 23:59:59 GMT";

static bool SameIgnoringCase(const std::string& a, const std::string& b)
{
    return _mbsicmp((const unsigned char*)a.c_str(), (const unsigned char*)b.c_str()) == 0;
}

// ---- CTokenList -------------------------------------------------------------

CTokenList::CTokenList(const char* text, const char* delimiters)
{
    if (!text || !*text)
        return;
    // Our own copy and our own position: strtok's splitting without its
    // shared state.
    std::vector<char> buffer(text, text + strlen(text) + 1);
    std::vector<char*> tokens;
    char* p = buffer.data();
    for (;;) {
        p += strspn(p, delimiters);
        if (!*p)
            break;
        size_t len = strcspn(p, delimiters);
        char* token = (char*)malloc(len + 1);
        memcpy(token, p, len);
        token[len] = 0;
        tokens.push_back(token);
        p += len;
    }
    m_ppTokens = (char**)malloc((tokens.size() + 1) * sizeof(char*));
    for (size_t i = 0; i < tokens.size(); i++)
        m_ppTokens[i] = tokens[i];
    m_nCount = (int)tokens.size();
}

CTokenList::~CTokenList()
{
    for (int i = 0; i < m_nCount; i++)
        free(m_ppTokens[i]);
    free(m_ppTokens);
}

const char* CTokenList::GetAt(int index) const
{
    return index >= 0 && index < m_nCount ? m_ppTokens[index] : nullptr;
}

std::string FirstToken(const char* text, const char* delimiters)
{
    CTokenList tokens(text, delimiters);
    return tokens.GetCount() ? tokens.GetAt(0) : "";
}

std::string LastToken(const char* text, const char* delimiters)
{
    CTokenList tokens(text, delimiters);
    return tokens.GetCount() ? tokens.GetAt(tokens.GetCount() - 1) : "";
}

// ---- CIniFile ---------------------------------------------------------------

void CIniFile::GetSectionNames(std::vector<std::string>& names) const
{
    names.clear();
    std::vector<char> buffer(16384, 0);
    DWORD len = GetPrivateProfileSectionNamesA(buffer.data(), (DWORD)buffer.size(), m_strPath.c_str());
    for (const char* p = buffer.data(); p < buffer.data() + len && *p; p += strlen(p) + 1)
        names.push_back(p);
}

std::string CIniFile::GetString(const char* section, const char* key) const
{
    char value[1024] = "";
    GetPrivateProfileStringA(section, key, "", value, sizeof value, m_strPath.c_str());
    return value;
}

// ---- CUserIdFinder ----------------------------------------------------------

std::string CUserIdFinder::SiteAddress()
{
    return "http://" ZEMBRIO_COOKIE_SITE;
}

std::string CUserIdFinder::ExtractUserIdValue(const char* text)
{
    std::string first = FirstToken(text, "&");
    if (first.empty())
        return "";
    return LastToken(first.c_str(), ":");
}

bool CUserIdFinder::ReadIeUserId(const std::string& address, std::string& userId)
{
    userId.clear();
    char data[1024] = "";
    DWORD size = sizeof data;
    if (!GetInternetCookie(address.c_str(), nullptr, data, &size))
        return false;
    data[sizeof data - 1] = 0;
    CTokenList tokens(data, ";");
    for (int i = 0; i < tokens.GetCount(); i++) {
        if (strstr(tokens.GetAt(i), "userId")) {
            userId = ExtractUserIdValue(tokens.GetAt(i));
            return true;
        }
    }
    return false;
}

bool CUserIdFinder::FindCookieFiles(ProfileBrowser browser, std::vector<std::string>& files)
{
    std::string root = m_strAppData + (browser == Firefox ? "\\Mozilla\\Firefox" : "\\Netscape\\NSB");
    std::string iniPath = root + "\\profiles.ini";
    CFileStatus status;
    if (!CFile::GetStatus(iniPath.c_str(), status))
        return false;

    CIniFile ini(iniPath);
    std::vector<std::string> sections;
    ini.GetSectionNames(sections);
    const std::string* chosen = nullptr;
    std::string selected;
    for (const std::string& section : sections) {
        const char* s = section.c_str();
        if (browser == Netscape) {
            if (SameIgnoringCase(section, "general")) {
                selected = ini.GetString(s, "SelectedProfile");
                if (!SameIgnoringCase(selected, "default"))
                    continue;
            }
            if (SameIgnoringCase(ini.GetString(s, "Name"), selected)) {
                chosen = &section;
                break;
            }
        }
        // Firefox lists its profiles after a general section: the second
        // section is taken whatever its Default says.
        if (browser == Firefox && sections.size() >= 2) {
            chosen = &sections[1];
            break;
        }
        if (ini.GetString(s, "Default") == "1") {
            chosen = &section;
            break;
        }
    }

    std::string profile;
    if (chosen) {
        std::string relative = ini.GetString(chosen->c_str(), "IsRelative");
        std::string path = ini.GetString(chosen->c_str(), "Path");
        if (relative == "1")
            profile = root + "\\Profiles\\" + LastToken(path.c_str(), "/");
        else if (relative == "0")
            profile = path;
    }
    if (profile.empty())
        return false;

    files.clear();
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((profile + "\\cookies*.txt").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    do
        files.push_back(profile + "\\" + found.cFileName);
    while (FindNextFileA(find, &found));
    FindClose(find);
    return true;
}

// One line per call without its line end; false at the end of the file or on
// a read error.
static bool ReadLine(FILE* file, std::string& line)
{
    line.clear();
    char chunk[512];
    bool any = false;
    while (fgets(chunk, sizeof chunk, file)) {
        any = true;
        line += chunk;
        if (!line.empty() && line[line.size() - 1] == '\n') {
            line.erase(line.size() - 1);
            return true;
        }
    }
    return any && !ferror(file);
}

bool CUserIdFinder::CollectCookieRecords(const std::vector<std::string>& files, const std::string& address,
                                         std::vector<std::string>& records)
{
    size_t first = address.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return false;
    std::string trimmed = address.substr(first, address.find_last_not_of(" \t\r\n") - first + 1);
    std::string host = LastToken(trimmed.c_str(), "/");

    for (const std::string& path : files) {
        FILE* file = fopen(path.c_str(), "rt");
        if (!file)
            continue;
        std::string line;
        while (ReadLine(file, line)) {
            std::string low = ToLower(line);
            if (low.find("zembrio") == std::string::npos || low.find("userid") == std::string::npos ||
                low.find(host) == std::string::npos)
                continue;
            CTokenList fields(line.c_str(), "\t");
            int n = fields.GetCount();
            std::string domain = n >= 1 ? fields.GetAt(0) : "";
            if (!domain.empty() && domain[0] == '.')
                domain.erase(0, 1);
            std::string name = n >= 6 ? fields.GetAt(5) : "";
            std::string value = n >= 7 ? std::string(fields.GetAt(6)) + kExpiryText : "";
            std::string record = domain + "^" + name + "^" + value;
            bool known = false;
            for (const std::string& r : records)
                known = known || SameIgnoringCase(r, record);
            if (!known)
                records.push_back(record);
        }
        fclose(file);
    }
    return true;
}

bool CUserIdFinder::UserIdFromRecord(const std::string& record, std::string& userId)
{
    if (record.empty())
        return false;
    CTokenList tokens(record.c_str(), "^");
    if (tokens.GetCount() < 3)
        return false;
    userId = ExtractUserIdValue(tokens.GetAt(2));
    return true;
}

bool CUserIdFinder::IdFromCookieFiles(const std::vector<std::string>& files, std::string& userId)
{
    std::vector<std::string> records;
    if (!CollectCookieRecords(files, SiteAddress(), records))
        return false;
    for (const std::string& record : records) {
        if (UserIdFromRecord(record, userId))
            return true;
    }
    return false;
}

bool CUserIdFinder::FindUserId(std::string& userId)
{
    userId.clear();
    if (ReadIeUserId(SiteAddress(), userId))
        return true;
    // Netscape is read only when Firefox has no cookie file at all.
    std::vector<std::string> files;
    bool found = false;
    if (FindCookieFiles(Firefox, files))
        found = IdFromCookieFiles(files, userId);
    else if (FindCookieFiles(Netscape, files))
        found = IdFromCookieFiles(files, userId);
    if (!found)
        userId.clear();
    return found;
}

// Finds the visitor's user id in the browsers' cookie stores: Internet
// Explorer's through WinINet, then the text cookie files of a Firefox or,
// failing that, a Netscape profile. Nothing is ever written back.
#pragma once
#include <string>
#include <vector>

// The tokens of a text split the way strtok splits it (runs of delimiters
// count as one, no empty tokens), kept as separately allocated strings. Each
// list keeps its own position, so lists never disturb one another.
class CTokenList {
public:
    CTokenList(const char* text, const char* delimiters);
    virtual ~CTokenList();
    CTokenList(const CTokenList&) = delete;
    CTokenList& operator=(const CTokenList&) = delete;

    int GetCount() const { return m_nCount; }
    // Null when the index is out of range.
    const char* GetAt(int index) const;

private:
    char** m_ppTokens = nullptr;
    int m_nCount = 0;
};

// One INI file read through the platform's profile functions.
class CIniFile {
public:
    explicit CIniFile(const std::string& path) : m_strPath(path) {}
    void GetSectionNames(std::vector<std::string>& names) const;
    // Empty when the section or key is missing.
    std::string GetString(const char* section, const char* key) const;

private:
    std::string m_strPath;
};

std::string FirstToken(const char* text, const char* delimiters);
std::string LastToken(const char* text, const char* delimiters);

enum ProfileBrowser { Firefox = 0, Netscape = 1 };

class CUserIdFinder {
public:
    explicit CUserIdFinder(const std::string& appDataFolder) : m_strAppData(appDataFolder) {}
    // True when an id was found; it is then stored in userId (cleared first).
    bool FindUserId(std::string& userId);

    bool ReadIeUserId(const std::string& address, std::string& userId);
    bool FindCookieFiles(ProfileBrowser browser, std::vector<std::string>& files);
    bool CollectCookieRecords(const std::vector<std::string>& files, const std::string& address,
                              std::vector<std::string>& records);
    bool UserIdFromRecord(const std::string& record, std::string& userId);
    std::string ExtractUserIdValue(const char* text);

    // The site whose cookie carries the id: plain HTTP, the host, no path.
    static std::string SiteAddress();

private:
    bool IdFromCookieFiles(const std::vector<std::string>& files, std::string& userId);

    std::string m_strAppData;
};

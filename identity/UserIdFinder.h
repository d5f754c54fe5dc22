// Finds the visitor's user id in the browsers' cookie stores.
#pragma once
#include <string>

class CUserIdFinder {
public:
    explicit CUserIdFinder(const std::string& appDataFolder) : m_strAppData(appDataFolder) {}
    virtual ~CUserIdFinder() = default;
    // True when an id was found; it is then stored in userId.
    bool FindUserId(std::string& userId);

private:
    std::string m_strAppData;
};

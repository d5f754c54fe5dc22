// Shared set-up of the system tests: what a room is handed, and the shell
// folders as scratch folders of their own.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "support/RoomFixture.h"
#include "system/WorkingFolder.h"

class SystemTest : public RoomFixture {
protected:
    void SetUp() override
    {
        RoomFixture::SetUp();
        for (int i = 0; i < ShellFolderCount; i++) {
            folders[i] = scratch.File(ShellFolderName(i));
            CreateDirectoryA(folders[i].c_str(), nullptr);
        }
    }
    // The run log's lines from the index on, to compare one case's lines.
    std::vector<std::string> LinesSince(size_t from) const
    {
        std::vector<std::string> lines = LogLines();
        return from < lines.size() ? std::vector<std::string>(lines.begin() + from, lines.end())
                                   : std::vector<std::string>();
    }

    std::string folders[ShellFolderCount];
};

// Creates every key of a path under a root and sets one string value.
inline void PlantString(HKEY root, const std::string& path, const char* name, const std::string& value)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (name)
        RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)value.c_str(), (DWORD)value.size() + 1);
    RegCloseKey(key);
}

// Removes a key with the keys below it.
inline void RemoveKey(HKEY root, const std::string& path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    char name[256];
    for (DWORD length = sizeof name; RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) ==
                                     ERROR_SUCCESS;
         length = sizeof name)
        RemoveKey(key, name);
    RegCloseKey(key);
    RegDeleteKeyA(root, path.c_str());
}

// Makes every folder of a path.
inline void MakeFolders(const std::string& path)
{
    for (size_t pos = path.find('\\', 3); pos != std::string::npos; pos = path.find('\\', pos + 1))
        CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
    CreateDirectoryA(path.c_str(), nullptr);
}

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

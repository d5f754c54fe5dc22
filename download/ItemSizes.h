// The sizes an earlier run recorded for the download addresses, as the
// rooms that register and fetch the downloads read them.
#pragma once
#include <windows.h>
#include <string>

class CItemSizes {
public:
    // 0 when none was recorded; addresses compare without regard to case.
    virtual UINT RememberedItemSize(const std::string& url) const = 0;

protected:
    ~CItemSizes() = default;
};

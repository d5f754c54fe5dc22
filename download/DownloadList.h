// Download items, the list that holds them and their verification.
#pragma once
#include <windows.h>

class DownloadList {
public:
    virtual ~DownloadList() = default;
    bool SizesKnown() const { return false; }
    UINT TotalLocalBytes() const { return 0; }
    UINT TotalServerBytes() const { return 0; }
    bool AllComplete() const { return true; }
    void CancelActiveTransfer() {}
};

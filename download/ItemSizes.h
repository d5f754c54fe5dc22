// The record's side of the downloads: the sizes an earlier run recorded for
// their addresses, and what the download worker learns for the next run.
#pragma once
#include <windows.h>
#include <string>

class DownloadList;

class CItemSizes {
public:
    // 0 when none was recorded; addresses compare without regard to case.
    virtual UINT RememberedItemSize(const std::string& url) const = 0;

protected:
    ~CItemSizes() = default;
};

// Where the download worker keeps what it learns, for a later run: the
// record's side.
class CDownloadRecord {
public:
    virtual void SaveReleaseSerial(DWORD serial) = 0;
    // The list's addresses and sizes, once they are known; the list's
    // cancel waits for it.
    virtual void RecordItems(const DownloadList& list) = 0;

protected:
    ~CDownloadRecord() = default;
};

// The run log: "name=value" lines appended to log.txt in the working folder.
#pragma once
#include <string>
#include "framework/Lock.h"

class CRunLog {
public:
    // Creates log.txt in the folder if missing; false leaves logging off for
    // the run. Once open, later calls change nothing.
    bool Open(const std::string& folder);
    // One whole line; false when logging is off or the file cannot be
    // opened now (the line is lost).
    bool Write(const char* name, const char* value);
    // Later lines are refused.
    void Close();
    std::string Path() const;

private:
    std::string m_strPath;
    bool m_bEnabled = false;   // the "file object present" state
    mutable CCriticalSection m_lock;
};
